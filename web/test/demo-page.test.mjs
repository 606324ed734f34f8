// The demo page in Chromium against a scripted service: each dialogue message drawn as the
// cashier sees it, answered by clicking, and the answer the page sends checked member by member.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
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

test('menus are buttons with the option texts, a field honours its sizes, a question its options', limit, async () => {
  await page.fill('#amount', '30,00');
  await page.selectOption('#installments', '3');
  await page.click('.pay >> text=Crédito');
  const sent = await fake.receive();
  assert.deepEqual({ ...sent, sale_id: 0 }, {
    route: '/transaction', type: 'transaction', session_uuid: 'S-1', operation: 3, payer_name: 'Maria da Silva',
    transaction_value: 30, number_of_installments: 3, sale_id: 0,
  });

  fake.send(say.message('Conectando ao SiTef...'), say.menu('Selecione a forma de pagamento', ['A Vista', 'Parcelado pelo Estabelecimento']));
  await page.locator('#dialogue-title', { hasText: 'Selecione a forma de pagamento' }).waitFor();
  assert.deepEqual(await options().allTextContents(), ['A Vista', 'Parcelado pelo Estabelecimento', 'Voltar', 'Cancelar']);
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
