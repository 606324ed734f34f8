// A private CUPS scheduler on a loopback port with a file-output receipt queue, for the
// tests that print through the service. It must start as root (its filters run as lp).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnOwned } from './children.mjs';
import { freePort, portOpen, waitFor } from './service.mjs';

const fixtures = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../../tests/printing/fixtures');

export const canRunCups = process.getuid?.() === 0;

export async function startCups({ queue = 'Receipt80', ppd = 'receipt80.ppd' } = {}) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-e2e-cups-'));
  for (const dir of ['conf', 'spool/tmp', 'cache', 'state', 'log']) fs.mkdirSync(path.join(root, dir), { recursive: true });
  fs.chmodSync(root, 0o777);  // filters running as lp read the spool
  const port = await freePort();
  fs.writeFileSync(path.join(root, 'conf/cupsd.conf'), [
    `Listen 127.0.0.1:${port}`, 'LogLevel warn', 'Browsing Off', 'BrowseLocalProtocols none', 'WebInterface No',
    'DefaultAuthType None', 'PreserveJobFiles Yes', 'PreserveJobHistory Yes',
    '<Location />', '  Order allow,deny', '  Allow all', '</Location>',
    '<Policy default>', '  <Limit All>', '    Order deny,allow', '  </Limit>', '</Policy>', ''].join('\n'));
  fs.writeFileSync(path.join(root, 'conf/cups-files.conf'), [
    `ServerRoot ${root}/conf`, `RequestRoot ${root}/spool`, `TempDir ${root}/spool/tmp`, `CacheDir ${root}/cache`,
    `StateDir ${root}/state`, `AccessLog ${root}/log/access_log`, `ErrorLog ${root}/log/error_log`,
    `PageLog ${root}/log/page_log`, 'User lp', 'Group lp', 'FileDevice Yes', 'Sandboxing Relaxed', ''].join('\n'));
  const child = spawnOwned('cupsd', ['-f', '-c', `${root}/conf/cupsd.conf`, '-s', `${root}/conf/cups-files.conf`],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  let ended = null;
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => { ended = signal ?? `code ${code}`; resolve(); }));
  const server = `127.0.0.1:${port}`;
  // What cupsd said of itself, for an error of a start that failed.
  const lastWords = () => {
    const errorLog = path.join(root, 'log/error_log');
    const log = fs.existsSync(errorLog) ? fs.readFileSync(errorLog, 'utf8').split('\n').filter(Boolean).slice(-10) : [];
    return `cupsd ${ended ? `exited (${ended})` : 'runs'}; standard error: ${stderr.trim() || '(nothing)'}; error_log: ${log.join('\n') || '(nothing)'}`;
  };
  const fail = async (why) => {
    child.kill('SIGKILL');
    await exited;
    const words = lastWords();
    fs.rmSync(root, { recursive: true, force: true });
    throw new Error(`${why}: ${words}`);
  };
  // cupsd has no readiness signal in the foreground: its port opening is the sign.
  try {
    await waitFor(async () => ended !== null || await portOpen(port), { what: 'the private cupsd' });
  } catch (error) {
    await fail(error.message);
  }
  if (ended !== null) await fail('the private cupsd did not start');
  const output = path.join(root, 'out.pdf');
  const added = spawnSync('lpadmin', ['-p', queue, '-E', '-v', `file://${output}`, '-P', path.join(fixtures, ppd)],
    { env: { ...process.env, CUPS_SERVER: server }, encoding: 'utf8' });
  if (added.status !== 0) await fail(`lpadmin failed: ${added.stderr}`);

  const lpstat = (...args) => spawnSync('lpstat', args, { env: { ...process.env, CUPS_SERVER: server }, encoding: 'utf8' }).stdout;
  return {
    server, queue, output, root, pid: child.pid,
    // Ids of the queue's completed jobs.
    completedJobs: () => lpstat('-W', 'completed', '-o', queue).split('\n').filter(Boolean).map((l) => l.split(/\s+/)[0]),
    activeJobs: () => lpstat('-o', queue).split('\n').filter(Boolean),
    async stop() {
      child.kill('SIGTERM');
      await exited;
      fs.rmSync(root, { recursive: true, force: true });
    },
  };
}
