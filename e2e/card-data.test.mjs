// A typed-card sale ("Digitado") over wss leaves its card data nowhere: not in the service
// folder (logs, the payment's backup while it is held, the stand-in library's files, print
// files), not in the CliSiTef control folder, not on the printed receipt. Logs, backups and
// their folders are the service user's alone. Nor does it when the library asks for the card
// under codes and titles of its own and repeats the number where no field code says so.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { canRunCups, startCups } from './lib/cups.mjs';
import { waitFor } from './lib/service.mjs';
import { connectClient } from './lib/session-helpers.mjs';
import { readmeTakePayment, scriptedOperator, setStandIn, startPaymentService, token } from './lib/payment-helpers.mjs';

const limit = { timeout: 120000 };
const CARD = '4111111111111111';
const EXPIRY = '1230';
const CODE = '123';

function filesUnder(dir) {
  if (!fs.existsSync(dir)) return [];
  return fs.readdirSync(dir, { withFileTypes: true, recursive: true })
    .filter((entry) => entry.isFile())
    .map((entry) => path.join(entry.parentPath ?? entry.path, entry.name));
}

// Where the card data shows up in a text. The number is looked for anywhere (sixteen digits
// occur nowhere else); the expiry and the code as values of their own: not inside a longer
// number, a clock time (12:30, :123 milliseconds) or a dotted version.
function findings(name, text) {
  const found = [];
  if (text.includes(CARD)) found.push(`${name}: card number`);
  for (const [what, value] of [['expiry', EXPIRY], ['security code', CODE]]) {
    const alone = new RegExp(`(?<![0-9:.,/])${value}(?![0-9:.,/])`, 'g');
    for (const match of text.matchAll(alone)) {
      found.push(`${name}: ${what} in ...${JSON.stringify(text.slice(Math.max(0, match.index - 40), match.index + 10))}`);
    }
  }
  return found;
}

// Every file under the folders but the programs and libraries, which were installed there
// and are not written by the service (the stand-in library carries its own chip card's number).
function search(folders) {
  const found = [];
  for (const folder of folders) {
    for (const file of filesUnder(folder)) {
      const bytes = fs.readFileSync(file);
      if (bytes.subarray(0, 4).toString('latin1') === '\x7fELF') continue;
      found.push(...findings(file, bytes.toString('latin1')));
    }
  }
  return found;
}

const xmlText = (s) => s.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
const pdfText = (file) => spawnSync('pdftotext', ['-raw', file, '-'], { encoding: 'utf8' }).stdout;

describe('card data of a typed-card sale', () => {
  let service, backend, cups;
  before(async () => {
    if (canRunCups) cups = await startCups();
    ({ service, backend } = await startPaymentService({
      extraIni: cups ? { printer: 'receipt80' } : {},
      // The search below runs while the back-end holds its answer.
      env: { NORVANE_TEST_CALLBACK_TIMEOUT_MS: '60000', ...(cups ? { CUPS_SERVER: cups.server } : {}) },
    }));
  });
  after(async () => { await backend?.close(); await service?.dispose(); await cups?.stop(); });

  test('is found in no file of the service folder, no backup and no printed receipt', limit, async () => {
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    backend.answer = { status: 201, body: { data: 1234 }, heldUntil: held };
    const operator = scriptedOperator({ menu: (title, options) => options.find((o) => /Credito|Digitado/.test(o)) });
    const takePayment = readmeTakePayment(service.caCert);
    const paid = takePayment(`wss://127.0.0.1:${service.port}`, await token(backend),
      { operation: 0, payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 }, operator);

    // Reported, not yet settled: the payment's backup is in TEF/.
    const report = await backend.request(1, 60000);
    const backups = filesUnder(path.join(service.dir, 'TEF')).filter((f) => f.endsWith('.tef'));
    const whileHeld = search([service.dir, service.clisitefRoot]);
    const backupText = backups.map((f) => fs.readFileSync(f, 'latin1')).join('\n');
    release();
    const result = await paid;

    assert.equal(result.status, 'approved', JSON.stringify(result));
    const asked = operator.seen.filter((s) => s.type === 'collect').map((s) => s.title);
    assert.ok(asked.some((t) => /numero do cartao/i.test(t)) && asked.some((t) => /vencimento/i.test(t)) &&
              asked.some((t) => /seguranca/i.test(t)), asked.join(' | '));
    assert.ok(backups.length >= 1, 'a backup while the back-end held its answer');
    assert.match(backupText, /411111\*{6}1111/, 'the backup keeps the masked number');
    assert.deepEqual(whileHeld, []);
    assert.deepEqual(findings('the report', report.body), []);
    assert.deepEqual(findings('the result', JSON.stringify(result)), []);

    // The customer's copy printed as a receipt layout.
    let printed = '';
    if (cups) {
      const lines = result.transaction_data[0].receipt[0].data;
      const layout = `<?xml version="1.0" encoding="UTF-8"?>\n<receipt>\n${
        lines.map((l) => `  <line>${xmlText(l)}</line>`).join('\n')}\n</receipt>\n`;
      const client = await connectClient(service.port);
      try {
        client.send({ route: '/print', type: 'print', data: Buffer.from(layout).toString('base64'), file_type: 'gdi' });
        await waitFor(() => cups.completedJobs().length > 0 && cups.activeJobs().length === 0,
          { timeoutMs: 60000, what: 'the receipt job' });
      } finally {
        await client.close();
      }
      printed = pdfText(cups.output);
      assert.match(printed.replace(/\s+/g, ' '), /411111\*{6}1111/);
    }
    assert.deepEqual(findings('the printed receipt', printed), []);

    // After settlement, with the service stopped (everything flushed): still nowhere.
    await service.stop();
    assert.deepEqual(search([service.dir, service.clisitefRoot]), []);

    // What the service wrote is its user's alone.
    for (const sub of ['Log', 'TEF']) {
      const root = path.join(service.dir, sub);
      for (const entry of [root, ...fs.readdirSync(root, { recursive: true }).map((n) => path.join(root, n))]) {
        const stat = fs.statSync(entry);
        assert.equal(stat.mode & 0o777, stat.isDirectory() ? 0o700 : 0o600, `${entry} is ${(stat.mode & 0o777).toString(8)}`);
      }
    }
  });
});

// "4111111111111111" in groups of four, as the stand-in repeats it.
const grouped = (number, separator) => number.match(/.{1,4}/g).join(separator);

describe('card data a library asks under codes and titles of its own, and repeats', () => {
  // Each row is one sale: the number typed, and whether it is a card number (Luhn) at all.
  const rows = [
    { number: '4111111111111111', card: true },
    { number: '4222222222222', card: true },
    { number: '6011000000000000001', card: true },
    { number: '4111111111111112', card: false },
  ];
  let service, backend;
  before(async () => {
    ({ service, backend } = await startPaymentService({ env: { NORVANE_TEST_CALLBACK_TIMEOUT_MS: '60000' } }));
    setStandIn(service, { Scenario: 'owncodes' });
  });
  after(async () => { await backend?.close(); await service?.dispose(); });

  // Where a number shows in clear: plain, in groups of four with blanks or with hyphens.
  function shown(texts, number) {
    const forms = [number, grouped(number, ' '), grouped(number, '-')];
    return texts.filter(([, text]) => forms.some((form) => text.includes(form))).map(([name]) => name);
  }
  const everything = () => [service.dir, service.clisitefRoot].flatMap(filesUnder)
    .filter((file) => fs.readFileSync(file).subarray(0, 4).toString('latin1') !== '\x7fELF')
    .map((file) => [file, fs.readFileSync(file, 'latin1')]);

  test('is found in no file and not on the console; a number that is no card stays as it was', limit, async () => {
    const takePayment = readmeTakePayment(service.caCert);
    for (const { number, card } of rows) {
      let release;
      backend.answer = { status: 201, body: { data: 1234 }, heldUntil: new Promise((resolve) => { release = resolve; }) };
      const operator = scriptedOperator({
        collect: (title) => (/^Digite o cartao/.test(title) ? number : /^Venc/.test(title) ? EXPIRY : CODE),
      });
      const report = backend.requests.length + 1;
      const paid = takePayment(`wss://127.0.0.1:${service.port}`, await token(backend),
        { operation: 2, payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 }, operator);
      await backend.request(report, 60000);
      // Reported, not yet settled: the payment's backup is in TEF/.
      const whileHeld = everything();
      release();
      const result = await paid;

      assert.equal(result.status, 'approved', JSON.stringify(result));
      const asked = operator.seen.filter((s) => s.type === 'collect').map((s) => s.title);
      assert.deepEqual(asked.map((t) => t.replace(/ do cartao .*/, '')), ['Digite o cartao', 'Venc. (MMAA)', 'Cod. seg.']);
      assert.ok(operator.seen.some((s) => s.type === 'message' && s.text.includes(grouped(number, ' '))),
        'the library repeated the number in a message');
      const backup = whileHeld.filter(([file]) => file.endsWith('.tef'));
      assert.equal(backup.length, 1, 'a backup while the back-end held its answer');
      if (card) {
        assert.deepEqual(shown(whileHeld, number), [], `${number} while the payment was held`);
        assert.deepEqual(whileHeld.flatMap(([file, text]) => findings(file, text)), []);
        assert.match(backup[0][1], new RegExp(`4520-000 = CARTAO ${number.slice(0, 6)}\\*{${number.length - 10}}${number.slice(-4)}`));
      } else {
        // No card number: the scrub leaves it, so every other number is still whole too.
        const tefLog = whileHeld.filter(([file]) => /TEF-.*\.log$/.test(file));
        assert.deepEqual(shown(tefLog, number).length, 1, 'the repeated number that is no card is in the TEF log');
      }
    }

    await service.stop();
    const output = [['standard output', service.stdout], ['standard error', service.stderr]];
    assert.match(service.stdout, /listening on/);
    for (const { number, card } of rows.filter((r) => r.card)) {
      assert.deepEqual(shown([...everything(), ...output], number), [], number);
    }
    assert.deepEqual([...everything(), ...output].flatMap(([name, text]) => findings(name, text)), []);
  });
});
