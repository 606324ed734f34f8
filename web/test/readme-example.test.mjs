// The README's example of norvane-tef.js, run as it is written in Chromium against a scripted
// service: a developer who copies it gets a payment and a printed receipt, not a ReferenceError.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, test } from 'node:test';
import { startDemoBackEnd } from '../demo/server.mjs';
import { launchChromium } from './browser.mjs';
import { makeCertificates, say, startFakeService } from './fake-service.mjs';

const readme = fs.readFileSync(path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'README.md'), 'utf8');

/** The first ```js block of the README section `heading`. */
function example(heading) {
  const section = readme.slice(readme.indexOf(`## ${heading}`));
  const match = section.match(/```js\n([\s\S]*?)```/);
  assert.ok(match, `no js example under "${heading}"`);
  return match[1];
}

let certificates;
let fake;
let backEnd;
let browser;

before(async () => {
  certificates = makeCertificates();
  fake = await startFakeService(certificates);
  fs.writeFileSync(path.join(certificates.folder, 'SvcNorvaneSiTef.ini'), `[sitef]\r\nserver_port=${fake.port}\r\n`);
  backEnd = await startDemoBackEnd({ serviceDir: certificates.folder });
  browser = await launchChromium(certificates.cert);
});

after(async () => {
  await browser?.close();
  await backEnd?.close();
  await fake?.stop();
  fs.rmSync(certificates.folder, { recursive: true, force: true });
});

test('the library example of the README takes a payment and prints its receipt as a layout', { timeout: 60000 }, async () => {
  const { page } = browser;
  // A page of the back-end's origin, so that './norvane-tef.js' resolves to the library.
  await page.goto(`${backEnd.url}example`);
  // The page's own helpers the example leaves to the reader.
  await page.evaluate(() => {
    const element = () => ({ textContent: '', hidden: true, onclick: null });
    Object.assign(window, {
      display: element(), connection: element(), cancelButton: element(),
      showNotice: async () => {}, chooseOne: async (_, options) => options[0], typeText: async () => '',
      drawQrCode: () => {}, tokenFromYourBackEnd: async () => 'token-of-the-back-end',
    });
  });
  const code = example('Using norvane-tef.js').replace('wss://localhost:8443', fake.url);
  await page.addScriptTag({ type: 'module', content: `${code}\nwindow.exampleDone = true;` });

  assert.equal((await fake.receive()).route, '/session/start');
  fake.send({ type: 'session', status: 'created', message: 'Sessão criada com sucesso.', session_uuid: 'S-9' });
  const sale = await fake.receive();
  assert.equal(sale.route, '/transaction');
  fake.send(say.message('Transação aprovada'), {
    type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
    transaction_data: [{
      sale_id: 42, operation: 'credit', transaction_value: 30, number_of_installments: 3, payment_id: 5100,
      receipt: [{ copy_number: 1, data: ['VIA CLIENTE\n', 'R$ 30,00 <3x>\n'] }],
    }],
  });
  const print = await fake.receive();
  assert.equal(print.route, '/print', JSON.stringify(browser.errors));
  assert.equal(print.file_type, 'gdi');
  const layout = Buffer.from(print.data, 'base64').toString('utf8');
  assert.match(layout, /<line>VIA CLIENTE<\/line><line>R\$ 30,00 &#60;3x&#62;<\/line>/);
  assert.equal((await fake.receive()).route, '/version');
  fake.send({ type: 'version', category: 'service_exe', version: '1.0', updating: false, pdv_number: '1' });
  await page.waitForFunction(() => window.exampleDone === true);
  assert.deepEqual(browser.errors.filter((e) => !e.includes('404')), []);
});
