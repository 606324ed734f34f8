// A page that reloads in the middle of a payment, in headless Chromium against the installed
// service: the reloaded page asks how the payment ended and shows the result the first page
// would have shown, and nothing is charged twice.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, describe, test } from 'node:test';
import { mintSessionToken, sessionClaims } from '../../e2e/lib/session-helpers.mjs';
import { setStandIn, startPaymentService } from '../../e2e/lib/payment-helpers.mjs';
import { launchChromium } from './browser.mjs';

const limit = { timeout: 90000 };
const library = fileURLToPath(new URL('../norvane-tef.js', import.meta.url));

// The sales application's page: it pays when asked to, and after every load it connects,
// starts a session and asks the status of the sale it was paying (kept in sessionStorage).
const PAGE = `<!doctype html><meta charset="utf-8"><title>caixa</title><pre id="outcome"></pre>
<script type="module">
import { NorvaneTef } from './norvane-tef.js';
const params = new URLSearchParams(location.search);
const show = (text) => { document.getElementById('outcome').textContent = text; };
const tef = new NorvaneTef({ firstRetryMs: 50,
  dialogue: { menu: ({ options }) => options[0], collect: () => '1', question: () => 'Sim' } });
window.ready = (async () => {
  await tef.connect(params.get('service'));
  await tef.startSession(params.get('token'));
  const paying = sessionStorage.getItem('paying');
  if (paying) {
    const status = await tef.status(Number(paying));
    show(JSON.stringify(status));
  }
})();
window.pay = (saleId) => {
  sessionStorage.setItem('paying', String(saleId));
  tef.pay({ operation: 3, value: 10.5, payerName: 'Ana', saleId }).then((r) => show(JSON.stringify(r)));
};
</script>`;

describe('a page reloaded in the middle of a payment', () => {
  let service, backend, site, browser;
  before(async () => {
    ({ service, backend } = await startPaymentService({ env: { NORVANE_TEST_CALLBACK_TIMEOUT_MS: '20000' } }));
    setStandIn(service);
    const certificates = path.join(service.dir, 'Certificado');
    site = https.createServer({
      cert: fs.readFileSync(path.join(certificates, 'server_cert.pem')),
      key: fs.readFileSync(path.join(certificates, 'server_key.pem')),
    }, (request, response) => {
      const file = new URL(request.url, 'https://localhost').pathname;
      if (file === '/norvane-tef.js') {
        response.writeHead(200, { 'content-type': 'text/javascript' });
        response.end(fs.readFileSync(library));
      } else {
        response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
        response.end(PAGE);
      }
    });
    await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
    browser = await launchChromium(fs.readFileSync(path.join(certificates, 'server_cert.pem')));
  });
  after(async () => {
    await browser?.close();
    await new Promise((resolve) => (site ? site.close(resolve) : resolve()));
    await backend?.close();
    await service?.dispose();
  });

  test('the reloaded page shows the approved result', limit, async () => {
    backend.answer = { hang: true };
    const token = await mintSessionToken(sessionClaims({ callback_url: backend.baseUrl('/api') }));
    const query = new URLSearchParams({ service: `wss://localhost:${service.port}`, token });
    const { page } = browser;
    await page.goto(`https://localhost:${site.address().port}/?${query}`);
    await page.evaluate(() => window.ready);
    await page.evaluate(() => window.pay(91));
    // The back-end holds its answer: the payment is approved and waits for its decision.
    await backend.request(1);
    await page.reload();
    backend.release({ status: 201, body: { data: 777 } });
    await page.evaluate(() => window.ready);
    const shown = JSON.parse(await page.locator('#outcome').textContent());
    assert.equal(shown.type, 'transaction_status');
    assert.equal(shown.status, 'finished', JSON.stringify(shown));
    assert.equal(shown.sale_id, 91);
    assert.equal(shown.result.status, 'approved');
    assert.equal(shown.result.transaction_data[0].payment_id, 777);
    assert.equal(backend.requests.length, 1);
    assert.deepEqual(browser.errors, []);
  });
});
