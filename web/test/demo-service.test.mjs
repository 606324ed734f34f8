// The demo page in headless Chromium against the installed service with the stand-in CliSiTef
// library and the demo back-end: sales taken by clicking as a cashier would.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, afterEach, before, describe, test } from 'node:test';
import { canRunCups, startCups } from '../../e2e/lib/cups.mjs';
import { configureStandIn, startService, waitFor } from '../../e2e/lib/service.mjs';
import { openDemo, takePayment } from './cashier.mjs';

const limit = { timeout: 90000 };

describe('the demo page with the installed service', () => {
  let cups;
  let service;
  let demo;
  let page;

  before(async () => {
    cups = canRunCups ? await startCups() : null;
    service = cups ? await startService({ extraIni: { printer: cups.queue }, env: { CUPS_SERVER: cups.server } })
      : await startService();
    configureStandIn(service.dir, { Scenario: 'approved', PollCount: 1, PollIntervalMs: 20 });
    demo = await openDemo(service.dir, fs.readFileSync(path.join(service.dir, 'Certificado', 'server_cert.pem')));
    page = demo.page;
  });

  after(async () => {
    await demo?.close();
    await service?.dispose();
    await cups?.stop();
  });

  afterEach(() => assert.deepEqual(demo.browser.errors, [], 'console errors on the page'));

  test('a credit sale in installments ends with its payment id, and the back-end has the report', limit, async () => {
    // Through the TEF's own menus: with the "Crédito" button the TEF component itself answers
    // the card and plan menus from the installments chosen on the page.
    await page.fill('#amount', '30,00');
    await page.selectOption('#installments', '1');
    const prompts = await takePayment(page, 'Menu TEF', {
      choices: [/Cartao de Credito/, /Magnetico/, /Parcelado pelo Estabelecimento/, /^Sim$/], typed: '3',
    });
    const kinds = new Set(prompts.map((p) => p.kind));
    for (const kind of ['menu', 'field', 'question']) assert.ok(kinds.has(kind), JSON.stringify(prompts));

    await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
    const report = demo.backEnd.reports.at(-1);
    assert.ok(report, 'the back-end received no report');
    assert.equal(await page.locator('dd[data-field="Pagamento"]').textContent(), String(report.paymentId));
    assert.equal(report.report.transaction_data[0].operation, 'credit');
    assert.equal(report.report.transaction_data[0].number_of_installments, 3);
    assert.equal(await page.locator('dd[data-field="Parcelas"]').textContent(), '3');
    await page.locator('#reports td', { hasText: String(report.paymentId) }).waitFor();
    assert.equal(await page.locator('#receipts pre').count(), 2);
  });

  test('the receipt prints as a layout through a private CUPS queue', limit, async (t) => {
    if (!cups) { t.skip('a private cupsd needs root'); return; }
    await page.locator('#print').click();
    await page.locator('#notice', { hasText: 'Comprovante enviado para a impressora.' }).waitFor();
    await waitFor(() => fs.existsSync(cups.output) && fs.statSync(cups.output).size > 0,
      { timeoutMs: 30000, what: 'the receipt at the printer' });
    assert.match(execFileSync('pdfinfo', [cups.output], { encoding: 'utf8' }), /Pages:\s+1\n/);
  });

  test('a Pix sale shows a QR code that decodes to the text the service sent', limit, async () => {
    configureStandIn(service.dir, { PollCount: 2, PollIntervalMs: 1500 });
    const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-pix-'));
    let decoded = null;
    let sent = null;
    const watching = page.locator('#qrcode svg').waitFor({ timeout: 30000 }).then(async () => {
      await page.locator('#dialogue').screenshot({ path: path.join(folder, 'qr.png') });
      decoded = execFileSync('zbarimg', ['--quiet', '--raw', path.join(folder, 'qr.png')],
        { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }).trim();
      sent = await page.evaluate(() => [...document.querySelectorAll('#log li.in')]
        .map((li) => li.textContent.slice(li.textContent.indexOf('{')))
        .map((text) => JSON.parse(text))
        .find((m) => m.type === 'qrcode')?.data);
    });
    try {
      await takePayment(page, 'Pix', { choices: [/^Sim$/] });
      await watching;
    } finally {
      configureStandIn(service.dir, { PollCount: 1, PollIntervalMs: 20 });
      fs.rmSync(folder, { recursive: true, force: true });
    }
    assert.match(sent ?? '', /^000201/);
    assert.equal(decoded, sent);
    await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
    assert.equal(demo.backEnd.reports.at(-1).report.transaction_data[0].operation, 'pix');
  });

  test('a reload while the card is awaited ends that payment unreported, and the reloaded page takes the next one', limit, async () => {
    configureStandIn(service.dir, { Scenario: 'abort' });
    const reports = demo.backEnd.reports.length;
    try {
      await page.click('.pay >> text=Débito');
      await page.locator('#abort').waitFor();  // the card is awaited
      await page.reload();
      // The reloaded page's session starts once the service has ended the old payment.
      await page.locator('body[data-session="open"]').waitFor({ state: 'attached', timeout: 30000 });
    } finally {
      configureStandIn(service.dir, { Scenario: 'approved' });
    }
    assert.equal(await page.locator('#result').isHidden(), true, 'the old payment reached the new page');
    assert.equal(demo.backEnd.reports.length, reports, 'the abandoned payment was reported');
    await takePayment(page, 'Débito', { choices: [/Magnetico/, /^Sim$/] });
    await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
    assert.equal(demo.backEnd.reports.length, reports + 1);
  });

  test('cancelling while the card is awaited ends "canceled"', limit, async () => {
    configureStandIn(service.dir, { Scenario: 'abort' });
    const reports = demo.backEnd.reports.length;
    try {
      const prompts = await takePayment(page, 'Débito', { choices: [/Magnetico/], abort: true });
      assert.ok(prompts.some((p) => p.kind === 'abort'), JSON.stringify(prompts));
    } finally {
      configureStandIn(service.dir, { Scenario: 'approved' });
    }
    await page.locator('#result-status', { hasText: 'Cancelada' }).waitFor();
    assert.equal(demo.backEnd.reports.length, reports, 'a cancelled payment was reported');
  });
});
