// The demo page in Chromium against a scripted service: each dialogue message drawn as the
// cashier sees it, answered by clicking, and the answer the page sends checked member by member.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { startDemoBackEnd } from '../demo/server.mjs';
import { launchChromium } from './browser.mjs';
import { makeCertificates, say, startFakeService } from './fake-service.mjs';

const limit = { timeout: 60000 };
const created = {
  type: 'session', status: 'created', message: 'Sessão criada com sucesso.',
  expiration: '2026-12-10T12:30:00.000Z', session_uuid: 'S-1', store_code: '00000001', terminal_number: 'AG100901',
};
const PIX = '00020101021226840014br.gov.bcb.pix2562pix.norvane.example/qr/v2/9d36b84f-c70b-478f-b95c-12729b90ca25' +
  '5204000053039865406123.455802BR5913NORVANE DEMO6009SAO PAULO62070503***6304ABCD';

let certificates;
let fake;
let demo;
let browser;
let page;

before(async () => {
  certificates = makeCertificates();
  fake = await startFakeService(certificates);
  fs.writeFileSync(path.join(certificates.folder, 'SvcNorvaneSiTef.ini'), `[sitef]\r\nserver_port=${fake.port}\r\n`);
  demo = await startDemoBackEnd({ serviceDir: certificates.folder });
  browser = await launchChromium(certificates.cert);
  page = browser.page;
  await page.goto(demo.url);
  assert.equal((await fake.receive()).route, '/session/start');
  fake.send(say.message('Inicializando TEF...'), say.message(''), created);
  await page.locator('#status', { hasText: 'Serviço conectado' }).waitFor();
});

after(async () => {
  await browser?.close();
  await demo?.close();
  await fake?.stop();
  fs.rmSync(certificates.folder, { recursive: true, force: true });
});

const options = () => page.locator('#dialogue-options button');
const shown = (selector) => page.locator(selector).evaluate((e) => e.checkVisibility());

/** The QR codes zbarimg reads in a screenshot of the dialogue: what a customer could scan. */
async function scannableCodes() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-qr-'));
  try {
    await page.locator('#dialogue').screenshot({ path: path.join(folder, 'dialogue.png') });
    // zbarimg exits 4 when it finds no code.
    const run = spawnSync('zbarimg', ['--quiet', '--raw', path.join(folder, 'dialogue.png')], { encoding: 'utf8' });
    return run.stdout.split('\n').filter(Boolean);
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

test('between sales the page shows what is current: no stale notice, the sale number used, no old result', limit, async () => {
  // The session's "Inicializando TEF..." was followed by an empty message, which clears it.
  await page.locator('body[data-session="open"]').waitFor({ state: 'attached' });
  assert.equal(await page.locator('#notice').textContent(), '');
  const saleOnScreen = Number((await page.locator('#sale-id').textContent()).replace(/\D/g, ''));
  assert.ok(saleOnScreen > 0);

  await page.fill('#amount', '12,00');
  await page.click('.pay >> text=Débito');
  const first = await fake.receive();
  assert.equal(first.sale_id, saleOnScreen, 'the first sale does not use the number the page showed');
  fake.send(say.message('Conectando ao SiTef...'), say.message('Transacao nao autorizada@Saldo insuficiente'),
    say.message('Negada pelo autorizador (5)'));
  await page.locator('#dialogue-message', { hasText: 'Negada pelo autorizador (5)' }).waitFor();
  fake.send({ type: 'result', status: 'unauthorized', message: 'Transação TEF não realizada.' });
  await page.locator('#result-status', { hasText: 'Não autorizada' }).waitFor();
  // The reason of the decline is the library's last notice; it stays on the result.
  assert.equal(await page.locator('#result-notice').textContent(), 'Negada pelo autorizador (5)');
  assert.equal(await shown('#result-notice'), true);

  // A declined sale is still unpaid: paying it again uses the same number, and the old
  // result does not stand behind the new dialogue.
  await page.click('.pay >> text=Pix');
  const second = await fake.receive();
  assert.equal(second.sale_id, saleOnScreen);
  fake.send(say.message('Conectando ao SiTef...'));
  await page.locator('#dialogue-message', { hasText: 'Conectando ao SiTef...' }).waitFor();
  assert.equal(await shown('#result'), false, 'the previous result shows behind the new dialogue');
  fake.send({
    type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
    transaction_data: [{ sale_id: saleOnScreen, operation: 'pix', transaction_value: 12, number_of_installments: 0, payment_id: 5001 }],
  });
  await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
  // Paid: the number on screen is now the next sale's, and that sale uses it.
  await page.waitForFunction((old) => /\d/.test(document.getElementById('sale-id').textContent)
    && !document.getElementById('sale-id').textContent.includes(String(old)), saleOnScreen);
  const next = Number((await page.locator('#sale-id').textContent()).replace(/\D/g, ''));
  await page.click('.pay >> text=Débito');
  assert.equal((await fake.receive()).sale_id, next);
  fake.send(say.notDone('canceled'));
  await page.locator('#result-status', { hasText: 'Cancelada' }).waitFor();

  // A pending payment is paid (its settlement is the service's to finish): the page says not
  // to charge again, and the sale is over as for an approved one.
  await page.click('.pay >> text=Débito');
  const pending = await fake.receive();
  assert.equal(pending.sale_id, next);
  fake.send({ type: 'result', status: 'pending', message: 'Pagamento aprovado no cartão e ainda não liquidado.',
    idempotency_key: pending.idempotency_key,
    transaction_data: [{ sale_id: next, operation: 'debit', transaction_value: 12, number_of_installments: 0, payment_id: 5002 }] });
  await page.locator('#result-status', { hasText: 'não cobre de novo' }).waitFor();
  await page.waitForFunction((old) => /\d/.test(document.getElementById('sale-id').textContent)
    && !document.getElementById('sale-id').textContent.includes(String(old)), next);
});

test('installments show "À vista" for 0 and 1, apply to "Crédito" only, and the menu titles come as sent', limit, async () => {
  await page.fill('#amount', '20,00');
  await page.selectOption('#installments', '4');
  const cases = [
    // [button, installments sent, number in the result, shown]
    ['Débito', 0, 0, 'À vista'],
    ['Pix', 0, 0, 'À vista'],
    ['Menu TEF', 0, 1, 'À vista'],
    ['Crédito', 4, 4, '4x'],
  ];
  for (const [button, sent, reported, text] of cases) {
    await page.click(`.pay >> text=${button}`);
    const request = await fake.receive();
    assert.equal(request.number_of_installments, sent, button);
    // The sale's fields cannot change under a running payment.
    assert.equal(await page.locator('#installments').isDisabled(), true, button);
    fake.send(say.menu('Selecione o plano', ['1:A Vista', '2:Parcelado pelo Estabelecimento']));
    await page.locator('#dialogue-title', { hasText: 'Selecione o plano' }).waitFor();
    assert.deepEqual(await options().allTextContents(), ['A Vista', 'Parcelado pelo Estabelecimento'], button);
    await options().first().click();
    assert.equal((await fake.receive()).response, '1:A Vista', 'the answer is the whole menu line');
    fake.send({
      type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
      transaction_data: [{ operation: 'debit', transaction_value: 20, number_of_installments: reported, institution: '00125', payment_id: 5002 }],
    });
    await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
    assert.equal(await page.locator('dd[data-field="Parcelas"]').textContent(), text, button);
    await page.waitForFunction(() => !document.querySelector('.pay button').disabled);
  }
  assert.equal(await page.locator('#installments').isEnabled(), true);
  // The network code is not the card's brand.
  assert.equal(await page.locator('dt', { hasText: 'Bandeira' }).count(), 0);
  assert.equal(await page.locator('dd[data-field="Código da rede"]').textContent(), '00125');
});

test('one "Cancelar pagamento" for menus and fields, "Voltar" only where going back is possible, none once can_cancel is false', limit, async () => {
  await page.click('.pay >> text=Crédito');
  await fake.receive();
  fake.send(say.menu('Forma de leitura', ['1:Magnetico/Chip', '2:Digitado']));
  await page.locator('#dialogue-title', { hasText: 'Forma de leitura' }).waitFor();
  const cancelLike = () => page.locator('#dialogue button:visible', { hasText: /Cancelar|Voltar/ }).allTextContents();
  assert.deepEqual(await cancelLike(), ['Cancelar pagamento']);
  await options().filter({ hasText: 'Digitado' }).click();
  assert.equal((await fake.receive()).response, '2:Digitado');

  fake.send({ ...say.collect('Numero do cartao', 13, 19, 512), back_menu: true });
  await page.locator('#dialogue-input').waitFor();
  assert.deepEqual(await cancelLike(), ['Voltar', 'Cancelar pagamento']);
  await page.fill('#dialogue-input', '4111111111111111');
  await options().filter({ hasText: 'Confirmar' }).click();
  await fake.receive();

  fake.send(say.canCancel(true));
  await page.locator('#abort').waitFor();
  // The service says no can_cancel false of its own after the card wait; every later
  // message carries can_cancel false, the approval's among them.
  fake.send(say.message('Transação aprovada'));
  await page.locator('#dialogue-message', { hasText: 'Transação aprovada' }).waitFor();
  assert.equal(await shown('#abort'), false, '"Cancelar pagamento" next to "Transação aprovada"');
  fake.send({ type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.', transaction_data: [{ operation: 'credit', payment_id: 5003 }] });
  await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
});

test('the message log never shows a typed card answer, whatever the field code; the service gets each whole', limit, async () => {
  // Each field as the library may ask it, the answer typed, and what the log may show of it.
  const fields = [
    { ask: say.collect('Numero do cartao', 13, 19, 512), typed: '4111111111111111', shown: '411111******1111' },
    { ask: say.collect('Digite o cartao', 13, 19, 4512), typed: '5555555555554444', shown: '555555******4444' },
    { ask: say.collect('Forneca o numero', 13, 19, 4600), typed: '4222222222222', shown: '422222***2222' },
    { ask: say.collect('Venc. (MMAA)', 4, 4, 4513), typed: '1230', shown: '****', password: true },
    { ask: say.collect('Codigo de seguranca', 3, 4, 514, 'segurança'), typed: '123', shown: '***', password: true },
    { ask: say.collect('Cod. seg.', 3, 4, 4514), typed: '987', shown: '***', password: true },
    { ask: say.collect('Forneca o numero de parcelas', 1, 2, 505), typed: '3', shown: '3' },
  ];
  await page.click('.pay >> text=Crédito');
  await fake.receive();
  for (const { ask, typed, password } of fields) {
    fake.send(ask);
    const input = page.locator('#dialogue-input');
    await page.locator('#dialogue-title', { hasText: ask.title }).waitFor();
    assert.equal(await input.evaluate((e) => e.type), password ? 'password' : 'text', ask.title);
    await input.fill(typed);
    await options().filter({ hasText: 'Confirmar' }).click();
    assert.equal((await fake.receive()).response, typed, `the service got the answer to "${ask.title}" whole`);
  }
  fake.send({ type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.', transaction_data: [{ operation: 'credit', payment_id: 5004 }] });
  await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();

  const log = await page.locator('#log').textContent();
  for (const { ask, typed, shown } of fields) {
    assert.ok(log.includes(`"response":"${shown}"`), `the answer to "${ask.title}" is not in the log as ${shown}`);
    if (typed === shown) continue;
    // Short answers are looked for as answers: "123" may well be part of a key or a time.
    const seen = typed.length >= 13 ? typed : `"response":"${typed}"`;
    assert.ok(!log.includes(seen), `the log shows the answer to "${ask.title}": ${typed}`);
  }
});

test('a reprint is shown as a reprint, not as a payment', limit, async () => {
  await page.click('#reprint');
  assert.equal((await fake.receive()).type, 'reprint');
  fake.send(say.message('Reimpressão concluída'), {
    type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
    transaction_data: [{ operation: 'reprint', nsu_code: '412345', payment_id: 0, receipt: [{ copy_number: 1, data: ['VIA CLIENTE'] }] }],
  });
  await page.locator('#result-status', { hasText: 'Reimpressão concluída' }).waitFor();
  assert.equal(await page.locator('dd[data-field="Pagamento"]').count(), 0);
  assert.equal(await page.locator('dd[data-field="Forma"]').textContent(), 'Reimpressão');
});

test('a print error says what to set, and the next print that succeeds clears it', limit, async () => {
  await page.click('#reprint');
  await fake.receive();
  fake.send(say.message('Reimpressão'), {
    type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
    transaction_data: [{ operation: 'reprint', receipt: [{ copy_number: 1, data: ['VIA CLIENTE', 'R$ 1,00'] }] }],
  });
  await page.locator('#print').waitFor();
  await page.click('#print');
  assert.equal((await fake.receive()).route, '/print');
  assert.equal((await fake.receive()).route, '/version');
  fake.send(say.error('Impressora não definida.'), { type: 'version', category: 'service_exe', version: '1.0', updating: false, pdv_number: '1' });
  const notice = page.locator('#notice');
  await notice.and(page.locator('.error')).waitFor();
  assert.match(await notice.textContent(), /Impressora não definida\..*printer.*\[sitef\].*SvcNorvaneSiTef\.ini/);

  await page.click('#print');
  assert.equal((await fake.receive()).route, '/print');
  assert.equal((await fake.receive()).route, '/version');
  fake.send({ type: 'version', category: 'service_exe', version: '1.0', updating: false, pdv_number: '1' });
  await notice.filter({ hasText: 'Comprovante enviado para a impressora.' }).waitFor();
  assert.equal(await notice.evaluate((e) => e.classList.contains('error')), false);
});


test('menus are buttons with the option texts, a field honours its sizes, a question its options', limit, async () => {
  await page.fill('#amount', '30,00');
  await page.selectOption('#installments', '3');
  await page.click('.pay >> text=Crédito');
  const { idempotency_key: key, ...sent } = await fake.receive();
  assert.match(key, /^[0-9a-f-]{36}$/, 'every payment carries the key a reload asks about');
  assert.deepEqual({ ...sent, sale_id: 0 }, {
    route: '/transaction', type: 'transaction', session_uuid: 'S-1', operation: 3, payer_name: 'Maria da Silva',
    transaction_value: 30, number_of_installments: 3, sale_id: 0,
  });

  fake.send(say.message('Conectando ao SiTef...'), say.menu('Selecione a forma de pagamento', ['A Vista', 'Parcelado pelo Estabelecimento']));
  await page.locator('#dialogue-title', { hasText: 'Selecione a forma de pagamento' }).waitFor();
  assert.deepEqual(await options().allTextContents(), ['A Vista', 'Parcelado pelo Estabelecimento']);
  await options().filter({ hasText: 'Parcelado pelo Estabelecimento' }).click();
  assert.deepEqual(await fake.receive(),
    { route: '/transaction', type: 'menu', response: 'Parcelado pelo Estabelecimento', back_menu: false });

  fake.send(say.collect('Numero de parcelas', 1, 2, 505));
  const input = page.locator('#dialogue-input');
  await input.waitFor();
  assert.deepEqual(await input.evaluate((e) => [e.minLength, e.maxLength, e.required]), [1, 2, true]);
  await input.pressSequentially('123');  // the third digit does not fit
  assert.equal(await input.inputValue(), '12');
  await input.fill('');
  await options().filter({ hasText: 'Confirmar' }).click();  // empty: the page keeps the prompt
  assert.ok(await fake.quiet(200), 'an empty answer to a required field went out');
  await input.fill('3');
  await input.press('Enter');
  assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'collect', typed: true, response: '3', back_menu: false });

  fake.send(say.question('Confirma 3 parcelas de R$ 10,00?'));
  await page.locator('#dialogue-message', { hasText: 'Confirma 3 parcelas' }).waitFor();
  assert.deepEqual(await options().allTextContents(), ['Sim', 'Não']);
  await options().filter({ hasText: 'Sim' }).click();
  assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'question', response: 'Sim' });

  fake.send(say.confirmation('Transacao Aprovada'));
  await options().filter({ hasText: 'OK' }).click();
  assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'confirmation' });

  fake.send({
    type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
    transaction_data: [{
      sale_id: sent.sale_id, operation: 'credit', card_number: '411111******1111', transaction_value: 30,
      number_of_installments: 3, nsu_code: '412345', receipt: [{ copy_number: 1, data: ['VIA CLIENTE', 'R$ 30,00'] }],
      payment_id: 5123, company_id: 1,
    }],
  });
  await page.locator('#result-status', { hasText: 'Aprovada' }).waitFor();
  assert.equal(await page.locator('dd[data-field="Pagamento"]').textContent(), '5123');
  assert.match(await page.locator('#receipts pre').first().textContent(), /VIA CLIENTE\nR\$ 30,00/);
  assert.equal(await page.locator('#dialogue').evaluate((d) => d.open), false);
});

test('a QR code is drawn from the text the service sent, and the cancel button shows only while cancelling is allowed', limit, async () => {
  await page.click('.pay >> text=Pix');
  assert.equal((await fake.receive()).operation, 122);
  fake.send(say.message('Conectando ao SiTef...'), say.qrcode(PIX), say.canCancel(true));
  const abort = page.locator('#abort');
  await abort.waitFor();
  const shot = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-qr-')), 'qr.png');
  await page.locator('#dialogue').screenshot({ path: shot });
  const decoded = execFileSync('zbarimg', ['--quiet', '--raw', shot], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }).trim();
  fs.rmSync(path.dirname(shot), { recursive: true, force: true });
  assert.equal(decoded, PIX);

  await abort.click();
  assert.deepEqual(await fake.receive(), { route: '/transaction/cancel', type: 'cancellation', session_uuid: 'S-1' });
  fake.send(say.canCancel(false));
  await abort.waitFor({ state: 'hidden' });
  fake.send(say.notDone('canceled'));
  await page.locator('#result-status', { hasText: 'Cancelada' }).waitFor();
  assert.equal(await page.locator('#result-message').textContent(), 'Transação TEF não realizada.');

  // The next payment, a debit, must not show the old code: a customer could pay it again.
  await page.click('.pay >> text=Débito');
  await fake.receive();
  fake.send(say.message('Insira ou passe o cartao'), say.canCancel(true));
  await page.locator('#abort').waitFor();
  assert.equal(await shown('#qrcode'), false, 'the last QR code is on screen');
  assert.deepEqual(await scannableCodes(), []);
  await page.click('#abort');
  await fake.receive();
  fake.send(say.notDone('canceled'));
  await page.locator('#result-status', { hasText: 'Cancelada' }).waitFor();
});

test('an error reply is shown to the cashier and the page stays usable', limit, async () => {
  await page.fill('#amount', '0');
  await page.click('.pay >> text=Débito');
  assert.match(await page.locator('#notice').textContent(), /Informe um valor maior que zero/);
  assert.ok(await fake.quiet(200), 'a sale without a value went out');

  await page.fill('#amount', '5,00');
  await page.click('.pay >> text=Débito');
  await fake.receive();
  fake.send(say.error('SiTef não inicializado.'));
  await page.locator('#notice', { hasText: 'SiTef não inicializado.' }).waitFor();
  assert.equal(await page.locator('.pay button').first().isEnabled(), true);
  assert.deepEqual(browser.errors, []);
});
