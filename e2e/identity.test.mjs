// One identity per payment, over wss against the real service: every answer about a payment is
// found by its key, a key is bound to the request it came with, what a restart settles is
// kept under the key, and no left payment holds a client.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { restartService } from './lib/service.mjs';
import {
  answerDialogue, finalisations, journal, readUntil, sessionClient, setStandIn, startPaymentService,
} from './lib/payment-helpers.mjs';

const limit = { timeout: 90000 };
const sale = { operation: 3, payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 };
const starts = (service) => (journal(service).match(/IniciaFuncaoSiTefInterativo/g) ?? []).length;
const settledLine = /Pagamento pendente \(documento \d+, NSU \d+\) (confirmado|desfeito)/;

async function ask(client, message, isReply) {
  client.send(message);
  const [, reply] = await readUntil(client, isReply);
  return reply;
}

const statusByKey = (client, session, key) => ask(client,
  { route: '/transaction/status', type: 'status', session_uuid: session, idempotency_key: key },
  (m) => m.type === 'transaction_status');
const statusBySale = (client, session, saleId) => ask(client,
  { route: '/transaction/status', type: 'status', session_uuid: session, ...(saleId !== undefined && { sale_id: saleId }) },
  (m) => m.type === 'transaction_status');

// Takes a payment on a raw client and returns its result.
async function pay(client, session, members) {
  client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, ...members });
  return answerDialogue(client);
}

describe('payments named by their key', () => {
  let service, backend;
  before(async () => { ({ service, backend } = await startPaymentService()); });
  after(async () => { await backend?.close(); await service?.dispose(); });

  test('a sale paid in parts: each payment is told by its own key, never by the sale', limit, async () => {
    setStandIn(service);
    const { client, session } = await sessionClient(service, backend, { sale_id: 420 });
    try {
      const first = await pay(client, session, { transaction_value: 30, idempotency_key: 'parte-1' });
      assert.equal(first.status, 'approved');
      // The second payment's request never reached the service: its key is unknown, and
      // nothing of the first payment is told as its outcome.
      assert.deepEqual(await statusByKey(client, session, 'parte-2'),
        { type: 'transaction_status', status: 'unknown', idempotency_key: 'parte-2', sale_id: 0, result: null });
      const second = await pay(client, session, { transaction_value: 20, idempotency_key: 'parte-2' });
      assert.equal(second.status, 'approved');
      const byKey = await statusByKey(client, session, 'parte-2');
      assert.equal(byKey.status, 'finished');
      assert.deepEqual(byKey.result, second);
      assert.equal(byKey.result.transaction_data[0].transaction_value, 20);
      const bySale = await statusBySale(client, session);
      assert.equal(bySale.idempotency_key, 'parte-2');
      assert.deepEqual(bySale.results.map((r) => [r.idempotency_key, r.status, r.result.transaction_data[0].transaction_value]),
        [['parte-2', 'finished', 20], ['parte-1', 'finished', 30]]);
    } finally {
      await client.close();
    }
  });

  test('a key is bound to its request: another amount under it is refused, the running one is told it runs', limit, async () => {
    setStandIn(service);
    const { client, session } = await sessionClient(service, backend);
    try {
      const paid = await pay(client, session, { idempotency_key: 'chave-k' });
      assert.equal(paid.status, 'approved');
      const before = starts(service);
      const cases = [
        { what: 'the same request', members: {}, expect: (m) => assert.deepEqual(m, paid) },
        { what: 'another amount', members: { transaction_value: 99 }, expect: (m) => {
          assert.equal(m.type, 'error');
          assert.match(m.message, /já pertence a outro pedido/);
        } },
        { what: 'another sale', members: { sale_id: 7 }, expect: (m) => assert.equal(m.type, 'error') },
      ];
      for (const c of cases) {
        const reply = await ask(client, { route: '/transaction', type: 'transaction', session_uuid: session, ...sale,
          idempotency_key: 'chave-k', ...c.members }, (m) => m.type === 'result' || m.type === 'error');
        c.expect(reply);
      }
      assert.equal(starts(service), before, 'nothing charged');

      // While it runs: its own request again is told "running"; another under its key refused.
      setStandIn(service, { Scenario: 'abort', PollCount: 1000000 });
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, idempotency_key: 'chave-r' });
      await readUntil(client, (m) => m.type === 'can_cancel' && m.can_cancel);
      const running = await ask(client, { route: '/transaction', type: 'transaction', session_uuid: session, ...sale,
        idempotency_key: 'chave-r' }, (m) => m.type === 'transaction_status');
      assert.equal(running.status, 'running');
      assert.equal(running.idempotency_key, 'chave-r');
      const refused = await ask(client, { route: '/transaction', type: 'transaction', session_uuid: session, ...sale,
        transaction_value: 1, idempotency_key: 'chave-r' }, (m) => m.type === 'error');
      assert.match(refused.message, /já pertence a outro pedido/);
      client.send({ route: '/transaction/cancel', type: 'cancellation', session_uuid: session });
      assert.equal((await answerDialogue(client)).status, 'canceled');
    } finally {
      await client.close();
    }
  });

  test('a request\'s sale id is that request\'s alone', limit, async () => {
    setStandIn(service);
    const { client, session } = await sessionClient(service, backend, { sale_id: 52 });
    try {
      const reports = backend.requests.length;
      assert.equal((await pay(client, session, { sale_id: 77 })).status, 'approved');
      assert.equal((await pay(client, session, {})).status, 'approved');
      const sales = backend.requests.slice(reports).map((r) => JSON.parse(r.body).transaction_data[0].sale_id);
      assert.deepEqual(sales, [77, 52]);
      assert.equal((await statusBySale(client, session)).status, 'finished');
    } finally {
      await client.close();
    }
  });

  test('an accepted report whose body is cut off confirms the payment', limit, async () => {
    setStandIn(service);
    const { client, session } = await sessionClient(service, backend);
    try {
      for (const cut of ['{', '']) {
        backend.answer = { status: 201, cut };
        const mark = journal(service).length;
        const result = await pay(client, session, {});
        assert.equal(result.status, 'approved', JSON.stringify(result));
        assert.equal(result.transaction_data[0].payment_id, 0);
        assert.deepEqual(finalisations(service, mark), ['confirma=1 transacao="confirmada"']);
      }
      assert.match(service.logText(), /Resposta da API aceita \(201\) com o corpo interrompido/);
    } finally {
      backend.answer = { status: 201, body: { data: 1234 } };
      await client.close();
    }
  });

  test('a finalisation the library refuses keeps the backup; the payment reads pending, then settles once', limit, async () => {
    setStandIn(service, { FinalizeResult: -5 });
    const mark = journal(service).length;
    let { client, session } = await sessionClient(service, backend);
    try {
      const result = await pay(client, session, { idempotency_key: 'falha-final' });
      assert.equal(result.status, 'pending', JSON.stringify(result));
      assert.equal(result.idempotency_key, 'falha-final');
      assert.equal(result.transaction_data[0].payment_id, 1234);
      const pending = await statusByKey(client, session, 'falha-final');
      assert.equal(pending.status, 'pending');
      assert.match(pending.message, /Aceito pelo servidor de vendas/);
      assert.equal(fs.readdirSync(path.join(service.dir, 'TEF')).filter((n) => n.endsWith('.tef')).length, 1);
      assert.match(service.logText(), /decidido \(confirmar\) mas não finalizado pela CliSiTef/);
    } finally {
      await client.close();
    }
    // The library works again: the next session start wakes the settler, which confirms it
    // by the decision kept, under the payment's own date and document, with no second report.
    setStandIn(service, { FinalizeResult: 0 });
    const reports = backend.requests.length;
    ({ client, session } = await sessionClient(service, backend));
    try {
      await service.waitForLog(/Pagamento pendente \(documento \d+, NSU \d+\) confirmado/, 20000);
      // Failed once in the payment, perhaps again by the settler before the library came
      // back; confirmed once, all under the same document, date and time.
      const lines = journal(service).slice(mark).split('\n').filter((l) => l.includes('FinalizaFuncaoSiTefInterativo('));
      assert.ok(lines.slice(0, -1).every((l) => /transacao="falha na finalizacao"/.test(l)), lines.join('\n'));
      assert.match(lines.at(-1), /transacao="confirmada"/);
      const same = (l) => `${l.match(/cupom="\d+"/)[0]} ${l.match(/data="\d+"/)[0]} ${l.match(/hora="\d+"/)[0]}`;
      assert.ok(lines.every((l) => same(l) === same(lines[0])), lines.join('\n'));
      assert.equal(backend.requests.length, reports);
      const settled = await statusByKey(client, session, 'falha-final');
      assert.equal(settled.status, 'finished');
      assert.equal(settled.result.status, 'approved');
      assert.equal(settled.result.transaction_data[0].payment_id, 1234);
    } finally {
      await client.close();
    }
  });

  test('a results file that cannot be read is kept aside, and said once', limit, async () => {
    setStandIn(service);
    const folder = path.join(service.dir, 'TEF');
    fs.writeFileSync(path.join(folder, 'results.json'), '{"results": [ cortado');
    service = await restartService(service, { NORVANE_CLISITEF_ROOT: service.clisitefRoot });
    const { client, session } = await sessionClient(service, backend);
    try {
      assert.equal((await statusByKey(client, session, 'parte-1')).status, 'unknown');
      assert.equal((await pay(client, session, { idempotency_key: 'depois-do-arquivo-ruim' })).status, 'approved');
      const aside = fs.readdirSync(folder).filter((n) => n.startsWith('results.json.corrupt-'));
      assert.equal(aside.length, 1);
      assert.equal(fs.readFileSync(path.join(folder, aside[0]), 'utf8'), '{"results": [ cortado');
      assert.equal(service.logText().match(/não pôde ser lido; foi guardado como/g).length, 1);
      assert.equal((await statusByKey(client, session, 'depois-do-arquivo-ruim')).status, 'finished');
    } finally {
      await client.close();
    }
  });
});

describe('left payments never hold a client', () => {
  test('a restart with a silent back-end serves the first client at once; the left payment reads pending, then settles', limit, async () => {
    let { service, backend } = await startPaymentService({ env: { NORVANE_TEST_HOLD_AT: 'antes-do-relatorio' } });
    try {
      const first = await sessionClient(service, backend);
      first.client.send({ route: '/transaction', type: 'transaction', session_uuid: first.session, ...sale,
        idempotency_key: 'deixado' });
      answerDialogue(first.client).catch(() => {});
      await service.waitForLog('Ponto de teste alcançado: antes-do-relatorio', 20000);
      service.signal('SIGKILL');
      await service.exited;
      await first.client.close();

      backend.answer = { hang: true };
      const reported = backend.request(1);
      service = await restartService(service, {
        NORVANE_TEST_CALLBACK_TIMEOUT_MS: '60000', NORVANE_CLISITEF_ROOT: service.clisitefRoot,
      });
      await reported;  // re-reported at the start, before any client came
      backend.answer = { status: 201, body: { data: 99 } };
      const { client, session } = await sessionClient(service, backend);
      try {
        const pending = await statusByKey(client, session, 'deixado');
        assert.equal(pending.status, 'pending');
        assert.match(pending.message, /servidor de vendas ainda não respondeu/);
        // A new payment is taken while the left one's report still waits for its answer.
        const result = await pay(client, session, { idempotency_key: 'novo' });
        assert.equal(result.status, 'approved');
        assert.equal(backend.hanging.size, 1, 'the left report is still unanswered');
        backend.release({ status: 201, body: { data: 98 } });
        await service.waitForLog(settledLine, 20000);
        const settled = await statusByKey(client, session, 'deixado');
        assert.equal(settled.status, 'finished', JSON.stringify(settled));
        assert.equal(settled.result.status, 'approved');
        assert.equal(settled.result.transaction_data[0].payment_id, 98);
        assert.deepEqual(finalisations(service), ['confirma=1 transacao="confirmada"', 'confirma=1 transacao="confirmada"']);
      } finally {
        await client.close();
      }
    } finally {
      await backend.close();
      await service.dispose();
    }
  });
});
