// "SvcNorvaneSiTef CHECK" run as an installer runs it, on a development service folder while the
// service runs: the stand-in and the missing origins make it exit 1, the port is the service's
// own, and the printer is asked of a real CUPS scheduler (known and accepting, then refusing).
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { after, before, describe, test } from 'node:test';
import { spawnOwned } from './lib/children.mjs';
import { canRunCups, startCups } from './lib/cups.mjs';
import { selfSignedCertificate, startSalesBackend, trustedCertificate } from './lib/sales-backend.mjs';
import { startService } from './lib/service.mjs';

// Runs the check without blocking: the back-end it may ask lives in this process.
function check(service, env = {}, args = []) {
  return new Promise((resolve) => {
    const child = spawnOwned(service.executable, ['CHECK', ...args], { cwd: service.dir, env: { ...process.env, ...env } });
    let stdout = '', stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    child.on('close', (status) => resolve({ status, lines: stdout.split('\n').filter(Boolean), text: stdout + stderr }));
  });
}

describe('SvcNorvaneSiTef CHECK', { skip: !canRunCups && 'a private cupsd needs root' }, () => {
  let cups, service;
  before(async () => {
    cups = await startCups();
    service = await startService({ extraIni: { printer: cups.queue } });
  });
  after(async () => {
    await service?.dispose();
    await cups?.stop();
  });

  test('names the stand-in, the open origins, the running service\'s port and the printer as CUPS has it', { timeout: 60000 }, async () => {
    const env = { CUPS_SERVER: cups.server };
    let { status, lines, text } = await check(service, env);
    assert.equal(status, 1, text);
    const line = (level, pattern) => assert.ok(lines.some((l) => l.startsWith(level) && pattern.test(l)), `${level} ${pattern}\n${text}`);
    line('WARN', /CliSiTef library .*dll\/CliSiTef32I\.dll is the STAND-IN/);
    line('WARN', /allowed_origins is empty/);
    line('WARN', /built-in token key/);
    line('ok', new RegExp(`port ${service.port} is held by this service`));
    line('ok', new RegExp(`printer "${cups.queue}": known to CUPS and accepting jobs`));
    assert.match(lines.at(-1), /^CHECK: the service can run, but/);

    assert.equal(spawnSync('cupsreject', [cups.queue], { env: { ...process.env, ...env } }).status, 0);
    ({ status, lines, text } = await check(service, env));
    assert.equal(status, 1, text);
    line('WARN', new RegExp(`printer "${cups.queue}" \\(\\[sitef\\] printer\\): it is not accepting jobs`));

    // Nothing of the service's own was written by the check: no log line of it.
    assert.doesNotMatch(service.logText(), /CHECK/);
  });
});

describe('SvcNorvaneSiTef CHECK <callback-url>', () => {
  let service, trusted, untrusted;
  before(async () => {
    service = await startService();
    trusted = await startSalesBackend(trustedCertificate(service.dir));
    untrusted = await startSalesBackend(selfSignedCertificate());
  });
  after(async () => {
    await trusted?.close();
    await untrusted?.close();
    await service?.dispose();
  });

  test('says whether the sales back-end answers with a certificate this machine verifies', { timeout: 60000 }, async () => {
    let { lines, text } = await check(service, {}, [trusted.baseUrl('/api/')]);
    assert.ok(lines.some((l) => l.startsWith('ok') && l.includes(`sales back-end ${trusted.baseUrl('/api/')} answered (HTTP 201) with a verified certificate`)), text);
    assert.equal(trusted.requests.length, 1);
    ({ lines, text } = await check(service, {}, [untrusted.baseUrl('/api/')]));
    assert.ok(lines.some((l) => l.startsWith('WARN') && l.includes('its certificate is not trusted')), text);
  });
});
