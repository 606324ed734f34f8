// The demo page in headless Chromium against the installed service with the stand-in CliSiTef
// library and the demo back-end: sales taken by clicking as a cashier would. With root, the
// receipt prints on the demo's PDF printer (scripts/demo-printer.sh) of a private scheduler.
// The screenshots of docs/ that the README shows are taken here, so that they stay current.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, afterEach, before, describe, test } from 'node:test';
import { canRunCups, startCups } from '../../e2e/lib/cups.mjs';
import { configureStandIn, startService } from '../../e2e/lib/service.mjs';
import { openDemo, takePayment } from './cashier.mjs';

const limit = { timeout: 90000 };
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const docs = path.join(repo, 'docs');
const PDF_PRINTER = 'NorvaneDemoPDF';

/** Runs scripts/demo-printer.sh against the private scheduler: { status, output }. */
function runDemoPrinter(cups, folder, instance, ...options) {
  const run = spawnSync(path.join(repo, 'scripts', 'demo-printer.sh'), [...options, PDF_PRINTER, folder, instance],
    { env: { ...process.env, CUPS_SERVER: cups.server }, encoding: 'utf8' });
  return { status: run.status, output: run.stdout + run.stderr };
}

/** Sets up the PDF printer; what the script said, to see what it did. */
function setUpPdfPrinter(cups, folder, instance) {
  const { status, output } = runDemoPrinter(cups, folder, instance);
  assert.equal(status, 0, output);
  return output;
}

describe('the demo page with the installed service', () => {
  let cups;
  let printed = null;  // the PDF printer's folder
  let instance = null;
  let service;
  let demo;
  let page;

  before(async () => {
    cups = canRunCups ? await startCups() : null;
    if (cups) {
      printed = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-demo-pdf-'));
      // CUPS-PDF reads its settings from /etc/cups/cups-pdf-INSTANCE.conf: one of this run's own.
      instance = `norvane-test-${process.pid}`;
      const first = setUpPdfPrinter(cups, printed, instance);
      assert.match(first, new RegExp(`printer ${PDF_PRINTER} ready`));
      const device = spawnSync('lpstat', ['-v', PDF_PRINTER], { env: { ...process.env, CUPS_SERVER: cups.server }, encoding: 'utf8' }).stdout;
      // Run again, it finds everything as wanted and changes nothing.
      assert.equal(setUpPdfPrinter(cups, printed, instance), '');
      assert.equal(spawnSync('lpstat', ['-v', PDF_PRINTER], { env: { ...process.env, CUPS_SERVER: cups.server }, encoding: 'utf8' }).stdout, device);
    }
    service = cups ? await startService({ extraIni: { printer: PDF_PRINTER }, env: { CUPS_SERVER: cups.server } })
      : await startService();
    configureStandIn(service.dir, { Scenario: 'approved', PollCount: 1, PollIntervalMs: 20 });
    demo = await openDemo(service.dir, fs.readFileSync(path.join(service.dir, 'Certificado', 'server_cert.pem')),
      { printDir: printed });
    page = demo.page;
  });

  after(async () => {
    await demo?.close();
    await service?.dispose();
    await cups?.stop();
    if (instance) fs.rmSync(`/etc/cups/cups-pdf-${instance}.conf`, { force: true });
    if (printed) fs.rmSync(printed, { recursive: true, force: true });
  });

  afterEach(() => assert.deepEqual(demo.browser.errors, [], 'console errors on the page'));

  test('the four states a new user meets, drawn for the README: connected, dialogue, approved with receipts, declined', limit, async () => {
    const shot = (name) => page.screenshot({ path: path.join(docs, `demo-${name}.png`), fullPage: true });
    await page.locator('#notice:empty').waitFor({ state: 'attached' });
    await shot('connected');

    await page.fill('#amount', '30,00');
    await page.selectOption('#installments', '3');
    await page.click('.pay >> text=Menu TEF');
    await page.locator('#dialogue-title', { hasText: 'Selecione a forma de pagamento' }).waitFor();
    await shot('dialogue');
    await page.locator('#dialogue-options button', { hasText: 'Cartao de Credito' }).click();
    await page.locator('#dialogue-options button', { hasText: 'Magnetico/Chip' }).click();
    await page.locator('#dialogue-options button', { hasText: 'Parcelado pelo Estabelecimento' }).click();
    await page.fill('#dialogue-input', '3');
    await page.locator('#dialogue-options button', { hasText: 'Confirmar' }).click();
    await page.locator('#dialogue-options button', { hasText: 'Sim' }).click();
    await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
    await page.waitForFunction(() => !document.querySelector('.pay button').disabled);
    assert.equal(await page.locator('dd[data-field="Parcelas"]').textContent(), '3x');
    await page.locator('#reports td', { hasText: String(demo.backEnd.reports.at(-1).paymentId) }).waitFor();
    await shot('approved');

    configureStandIn(service.dir, { Scenario: 'declined' });
    try {
      await takePayment(page, 'Débito', { choices: [/Magnetico/] });
    } finally {
      configureStandIn(service.dir, { Scenario: 'approved' });
    }
    await page.locator('#result-status', { hasText: 'Não autorizada' }).waitFor();
    // The reason of the decline is on the result, as the library last said it.
    assert.equal(await page.locator('#result-notice').textContent(), 'Negada pelo autorizador (5)');
    await shot('declined');
  });

  test('the PDF printer is named in a configuration that names none, and another printer is left alone', limit, async (t) => {
    if (!cups) { t.skip('a private cupsd needs root'); return; }
    const ini = path.join(printed, 'SvcNorvaneSiTef.ini');
    const cases = [
      // [configuration, exit status, configuration after]
      ['[sitef]\r\nserver_port=8443\r\n', 0, `[sitef]\r\nprinter=${PDF_PRINTER}\r\nserver_port=8443\r\n`],
      ['[Other]\r\nprinter=X\r\n[ SITEF ]\r\nPrinter = Caixa1 \r\n', 3, null],
      [`[sitef]\nprinter=${PDF_PRINTER.toLowerCase()}\n`, 0, null],
      ['[geral]\r\nprinter=\r\n', 1, null],
    ];
    try {
      for (const [before, status, after] of cases) {
        fs.writeFileSync(ini, before);
        const run = runDemoPrinter(cups, printed, instance, '--ini', ini);
        assert.equal(run.status, status, `${JSON.stringify(before)}: ${run.output}`);
        assert.equal(fs.readFileSync(ini, 'utf8'), after ?? before, JSON.stringify(before));
        // Run again, it changes nothing and says nothing.
        const again = runDemoPrinter(cups, printed, instance, '--ini', ini);
        assert.equal(again.status, status);
        assert.equal(fs.readFileSync(ini, 'utf8'), after ?? before);
        if (status === 0) assert.equal(again.output, '');
      }
    } finally {
      fs.rmSync(ini, { force: true });
    }
  });

  test('a reprint is recorded by the back-end apart from the payments, and shown as a reprint', limit, async () => {
    const payments = demo.backEnd.reports.length;
    const reprints = demo.backEnd.reprints.length;
    await page.click('#reprint');
    await page.locator('#result-status', { hasText: 'Reimpressão concluída' }).waitFor();
    await page.waitForFunction(() => !document.querySelector('.pay button').disabled);
    assert.equal(demo.backEnd.reports.length, payments, 'a reprint was recorded as a payment');
    assert.equal(demo.backEnd.reprints.length, reprints + 1);
    assert.equal(await page.locator('dd[data-field="Pagamento"]').count(), 0);
    await page.locator('#reprints td', { hasText: String(demo.backEnd.reprints.at(-1).reprintId) }).first().waitFor();
  });

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
    assert.equal(await page.locator('dd[data-field="Parcelas"]').textContent(), '3x');
    await page.locator('#reports td', { hasText: String(report.paymentId) }).waitFor();
    assert.equal(await page.locator('#receipts pre').count(), 2);
  });

  test('the receipt prints as a layout on the demo PDF printer, and the page links to the PDF', limit, async (t) => {
    if (!cups) { t.skip('a private cupsd needs root'); return; }
    await page.locator('#print').click();
    await page.locator('#notice', { hasText: 'Comprovante enviado para a impressora.' }).waitFor();
    const link = page.locator('#printed-link');
    await link.waitFor({ timeout: 45000 });
    // The link is the demo back-end's copy of the file the printer wrote.
    const { status, type, bytes } = await page.evaluate(async (href) => {
      const response = await fetch(href);
      return { status: response.status, type: response.headers.get('content-type'), bytes: [...new Uint8Array(await response.arrayBuffer())] };
    }, await link.getAttribute('href'));
    assert.equal(status, 200);
    assert.equal(type, 'application/pdf');
    const [file] = fs.readdirSync(printed).filter((name) => name.endsWith('.pdf'));
    assert.deepEqual(Buffer.from(bytes), fs.readFileSync(path.join(printed, file)));
    assert.match(execFileSync('pdfinfo', [path.join(printed, file)], { encoding: 'utf8' }), /Pages:\s+1\n/);
    // The receipt is drawn, not a blank page (its text is pictures once CUPS-PDF rewrote it).
    const pgm = execFileSync('pdftoppm', ['-gray', '-r', '30', path.join(printed, file)]);
    const pixels = pgm.subarray(pgm.length - pgm.toString('latin1').split(/\s+/).slice(1, 3).reduce((a, b) => a * Number(b), 1));
    assert.ok(pixels.filter((v) => v < 128).length > 100, 'the printed PDF is blank');
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
