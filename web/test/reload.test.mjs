// A page that reloads in the middle of a payment, in headless Chromium against the installed
// service: the reloaded page asks how its own payment ended, by the key the library kept in
// sessionStorage, and shows the result the first page would have shown; nothing is charged
// twice, and another payment of the same sale is never taken for it.
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
// starts a session and, when the library holds a payment this tab started and has no outcome
// of, resumes it by its key.
const PAGE = `<!doctype html><meta charset="utf-8"><title>caixa</title><pre id="outcome"></pre>
<script type="module">
import { NorvaneTef } from './norvane-tef.js';
const params = new URLSearchParams(location.search);
const show = (shown) => { document.getElementById('outcome').textContent = JSON.stringify(shown); };
const tef = new NorvaneTef({ firstRetryMs: 50,
  dialogue: { menu: ({ options }) => options[0], collect: () => '1', question: () => 'Sim' } });
window.tef = tef;
window.ready = (async () => {
  await tef.connect(params.get('service'));
  await tef.startSession(params.get('token'));
  const unfinished = tef.unfinishedPayment();
  if (unfinished) {
    await tef.resumePayment().then((result) => show({ unfinished, result }), (error) => show({ unfinished, error: error.message }));
  }
})();
window.pay = (saleId, value) => tef.pay({ operation: 3, value, payerName: 'Ana', saleId }).then((result) => {
  show({ result });
  return result;
});
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

  test('the reloaded page shows the result of its own payment, not the sale\'s earlier one', limit, async () => {
    const token = await mintSessionToken(sessionClaims({ callback_url: backend.baseUrl('/api') }));
    const query = new URLSearchParams({ service: `wss://localhost:${service.port}`, token });
    const { page } = browser;
    await page.goto(`https://localhost:${site.address().port}/?${query}`);
    await page.evaluate(() => window.ready);
    // Sale 91 is paid in two parts: 30,00 approved and settled, then 20,00.
    backend.answer = { status: 201, body: { data: 776 } };
    const first = await page.evaluate(() => window.pay(91, 30));
    assert.equal(first.status, 'approved', JSON.stringify(first));
    assert.equal(first.transaction_data[0].payment_id, 776);
    assert.equal(await page.evaluate(() => window.tef.unfinishedPayment()), null);

    backend.answer = { hang: true };
    await page.evaluate(() => { window.pay(91, 20); });
    // The back-end holds its answer: the payment is approved and waits for its decision.
    await backend.request(2);
    const unfinished = await page.evaluate(() => window.tef.unfinishedPayment());
    assert.deepEqual([unfinished.saleId, unfinished.value, unfinished.received], [91, 20, true]);
    await page.reload();
    backend.release({ status: 201, body: { data: 777 } });
    await page.evaluate(() => window.ready);
    const shown = JSON.parse(await page.locator('#outcome').textContent());
    assert.equal(shown.error, undefined, shown.error);
    assert.equal(shown.unfinished.idempotencyKey, unfinished.idempotencyKey);
    assert.equal(shown.result.status, 'approved', JSON.stringify(shown.result));
    assert.equal(shown.result.idempotency_key, unfinished.idempotencyKey);
    assert.equal(shown.result.transaction_data[0].sale_id, 91);
    assert.equal(shown.result.transaction_data[0].payment_id, 777);
    // Its outcome known, the key is dropped from the tab's storage.
    assert.equal(await page.evaluate(() => sessionStorage.getItem('norvane-tef.unfinished')), null);
    assert.equal(backend.requests.length, 2);
    assert.deepEqual(browser.errors, []);
  });
});
