// How a payment ended, asked again: the kept results behind "/transaction/status" and
// `idempotency_key`, across a restart, and norvane-tef.js finding the result of a payment
// whose connection dropped before the result.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { NorvaneTef } from '../web/norvane-tef.js';
import { restartService } from './lib/service.mjs';
import {
  answerDialogue, browserWebSocket, journal, readUntil, sessionClient, setStandIn, startPaymentService, token,
} from './lib/payment-helpers.mjs';

const limit = { timeout: 60000 };
const sale = { operation: 3, payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 };
const starts = (service) => (journal(service).match(/IniciaFuncaoSiTefInterativo/g) ?? []).length;

async function statusOf(client, session, saleId) {
  client.send({ route: '/transaction/status', type: 'status', session_uuid: session, ...(saleId !== undefined && { sale_id: saleId }) });
  const [, reply] = await readUntil(client, (m) => m.type === 'transaction_status');
  return reply;
}

describe('the outcome of a payment, asked again', () => {
  let service, backend;
  before(async () => { ({ service, backend } = await startPaymentService({ env: { NORVANE_TEST_CALLBACK_TIMEOUT_MS: '20000' } })); });
  after(async () => { await backend?.close(); await service?.dispose(); });

  test('a key used again answers the first result and charges nothing; the status keeps it across a restart', limit, async () => {
    setStandIn(service);
    let { client, session } = await sessionClient(service, backend);
    const key = 'venda-42-tentativa-1';
    let first;
    try {
      assert.deepEqual(await statusOf(client, session, 77),
        { type: 'transaction_status', status: 'unknown', sale_id: 77, result: null, results: [] });
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, sale_id: 77, idempotency_key: key });
      first = await answerDialogue(client);
      assert.equal(first.status, 'approved', JSON.stringify(first));
      const startsBefore = starts(service);
      const reportsBefore = backend.requests.length;
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, sale_id: 77, idempotency_key: key });
      const [, again] = await readUntil(client, (m) => m.type === 'result' || m.type === 'error');
      assert.deepEqual(again, first);
      assert.equal(starts(service), startsBefore);
      assert.equal(backend.requests.length, reportsBefore);
      assert.equal(first.idempotency_key, key);
      assert.deepEqual(await statusOf(client, session, 77), {
        type: 'transaction_status', status: 'finished', sale_id: 77, idempotency_key: key, result: first,
        results: [{ idempotency_key: key, status: 'finished', result: first }],
      });
      // The session's own sale (42 in its token) has no operation yet.
      assert.equal((await statusOf(client, session)).status, 'unknown');
    } finally {
      await client.close();
    }
    const file = path.join(service.dir, 'TEF', 'results.json');
    assert.equal(fs.statSync(file).mode & 0o777, 0o600);

    service = await restartService(service);
    ({ client, session } = await sessionClient(service, backend));
    try {
      assert.deepEqual((await statusOf(client, session, 77)).result, first);
    } finally {
      await client.close();
    }
  });

  test('asked by the payment\'s own client while it runs, the status is "running" and no answer', limit, async () => {
    setStandIn(service, { Scenario: 'abort' });
    const { client, session } = await sessionClient(service, backend);
    try {
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale });
      await readUntil(client, (m) => m.type === 'can_cancel' && m.can_cancel);
      const running = await statusOf(client, session);
      assert.deepEqual({ ...running, idempotency_key: undefined },
        { type: 'transaction_status', status: 'running', sale_id: 42, idempotency_key: undefined, result: null, results: [] });
      assert.match(running.idempotency_key, /^[0-9A-F-]{36}$/, 'the service made the payment a key');
      client.send({ route: '/transaction/cancel', type: 'cancellation', session_uuid: session });
      const result = await answerDialogue(client);
      assert.equal(result.status, 'canceled');
      assert.deepEqual((await statusOf(client, session)).result, result);
    } finally {
      await client.close();
    }
  });

  test('norvane-tef.js: a connection that drops while the back-end decides still resolves with the result', limit, async () => {
    setStandIn(service);
    backend.answer = { hang: true };
    const reports = backend.requests.length;
    const tef = new NorvaneTef({
      WebSocket: browserWebSocket(service.caCert), firstRetryMs: 50, maxRetryMs: 200,
      dialogue: { menu: ({ options }) => options[0], collect: () => '1', question: () => 'Sim' },
    });
    try {
      await tef.connect(`wss://127.0.0.1:${service.port}`);
      await tef.startSession(await token(backend));
      const paying = tef.pay({ operation: 3, value: 10.5, payerName: 'Ana', saleId: 88 });
      await backend.request(reports + 1);
      tef.socket.terminate();  // the page's connection is gone before the result
      backend.release({ status: 201, body: { data: 555 } });
      const result = await paying;
      assert.equal(result.status, 'approved', JSON.stringify(result));
      assert.equal(result.transaction_data[0].payment_id, 555);
      assert.equal(result.transaction_data[0].sale_id, 88);
      assert.equal(backend.requests.length, reports + 1);
    } finally {
      backend.answer = { status: 201, body: { data: 1234 } };
      tef.close();
    }
  });
});
