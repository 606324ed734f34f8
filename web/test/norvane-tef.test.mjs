// The client library against a scripted service: each test plays the service's side of the
// conversation message by message and checks what the library sends and resolves.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { isDeepStrictEqual } from 'node:util';
import { after, before, beforeEach, describe, test } from 'node:test';
import { BACK, CANCEL, NorvaneTef } from '../norvane-tef.js';
import { makeCertificates, say, startFakeService, trustingWebSocket } from './fake-service.mjs';

const limit = { timeout: 20000 };
const SESSION = '9A1B2C3D-0000-4000-8000-00000000ABCD';
const created = {
  type: 'session', status: 'created', message: 'Sessão criada com sucesso.',
  expiration: '2026-12-10T12:30:00.000Z', session_uuid: SESSION, store_code: '00000001', terminal_number: 'AG100901',
};
const approved = {
  type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
  transaction_data: [{ sale_id: 42, operation: 'credit', payment_id: 1234, company_id: 7, receipt: [] }],
};

let certificates;
let fake;
let tef;
let seen;      // what the dialogue handlers were shown, in order
let answers;   // what the dialogue handlers answer, taken in order

// Waits for what the library does in its own time. Every call it makes into the test (a
// dialogue handler, onStatus) checks the waiting conditions again; the library sets the
// state they look at (cancellable, prompt) before it calls.
const waiting = new Set();
function calledBack() {
  for (const waiter of waiting) {
    if (waiter.condition()) {
      waiting.delete(waiter);
      waiter.resolve();
    }
  }
}
function waitUntil(condition) {
  if (condition()) return Promise.resolve();
  return new Promise((resolve) => waiting.add({ condition, resolve }));
}
const tellingWaiters = (handler) => (...args) => {
  try {
    return handler(...args);
  } finally {
    calledBack();
  }
};

function client(options = {}) {
  const dialogue = {
    message: (text) => seen.push(['message', text]),
    confirmation: (prompt) => { seen.push(['confirmation', prompt.message]); },
    question: (prompt) => { seen.push(['question', prompt.message, prompt.options]); return answers.shift(); },
    menu: (prompt) => { seen.push(['menu', prompt.title, prompt.options]); return answers.shift(); },
    collect: (prompt) => { seen.push(['collect', prompt]); return answers.shift(); },
    qrcode: (data) => seen.push(['qrcode', data]),
    canCancel: (allowed) => seen.push(['canCancel', allowed]),
  };
  for (const name of Object.keys(dialogue)) dialogue[name] = tellingWaiters(dialogue[name]);
  const { onStatus } = options;
  return new NorvaneTef({
    WebSocket: trustingWebSocket(certificates.ca),
    dialogue,
    ...options,
    ...(onStatus && { onStatus: tellingWaiters(onStatus) }),
  });
}

async function openSession() {
  const starting = tef.startSession('TOKEN');
  await fake.receive();
  fake.send(created);
  await starting;
}

before(async () => { certificates = makeCertificates(); });
after(() => fs.rmSync(certificates.folder, { recursive: true, force: true }));

describe('norvane-tef.js against a scripted service', () => {
  beforeEach(async (t) => {
    fake = await startFakeService(certificates);
    seen = [];
    answers = [];
    tef = client();
    await tef.connect(fake.url);
    t.after(async () => { tef.close(); await fake.stop(); });
  });

  test('a session starts through the initialisation messages and finishes with its id', limit, async () => {
    const starting = tef.startSession('TOKEN');
    assert.deepEqual(await fake.receive(), { route: '/session/start', type: 'session', token: 'TOKEN' });
    fake.send(say.message('Inicializando TEF...'), say.message(''), created);
    assert.deepEqual(await starting, created);
    assert.deepEqual(seen, [['message', 'Inicializando TEF...'], ['message', '']]);

    const finishing = tef.finishSession();
    assert.deepEqual(await fake.receive(), { route: '/session/finish', type: 'session', session_uuid: SESSION });
    const finished = { type: 'session', status: 'finished', message: 'Sessão finalizada com sucesso.' };
    fake.send(finished);
    assert.deepEqual(await finishing, finished);
    await assert.rejects(tef.pay({ operation: 3, value: 1 }), /Nenhuma sessão aberta/);
  });

  test('every call sends its route and resolves with its reply; error replies reject with their text', limit, async () => {
    await openSession();
    const cases = [
      {
        call: () => tef.version({ category: 'clisitef_dll', version: '1.0.13.6', downloadUrl: 'https://x/y' }),
        sent: { route: '/version', type: 'version', category: 'clisitef_dll', version: '1.0.13.6', download_url: 'https://x/y' },
        reply: { type: 'version', category: 'clisitef_dll', version: '1.0.12.5', updating: true, pdv_number: '01' },
      },
      {
        call: () => tef.pinpadStatus(),
        sent: { route: '/pinpad/status', type: 'status', session_uuid: SESSION },
        reply: { type: 'status', status: 'connected', message: 'PinPad conectado' },
      },
      {
        call: () => tef.pinpadStatus(),
        sent: { route: '/pinpad/status', type: 'status', session_uuid: SESSION },
        reply: say.error('Erro ao verificar pinpad: biblioteca não carregada'),
      },
      {
        call: () => tef.pay({ operation: 3, value: 0, idempotencyKey: 'venda-1' }),
        sent: {
          route: '/transaction', type: 'transaction', session_uuid: SESSION, operation: 3, payer_name: '',
          transaction_value: 0, number_of_installments: 0, idempotency_key: 'venda-1',
        },
        reply: say.error('Valor inválido'),
      },
      {
        call: () => tef.cancelPayment({
          operation: 200, nsu: '412345', date: new Date(2025, 10, 26, 15, 48, 41), value: 10.5, saleId: 9, idempotencyKey: 'cancela-9',
        }),
        sent: {
          route: '/transaction', type: 'cancellation', session_uuid: SESSION, operation: 200, cancellation_nsu: '412345',
          transaction_date: '2025-11-26 15:48:41', transaction_value: 10.5, number_of_installments: 0, sale_id: 9,
          idempotency_key: 'cancela-9',
        },
        reply: say.error('O campo "transaction_date" não foi preenchido corretamente.'),
      },
      {
        call: () => tef.startSession('FORGED'),
        sent: { route: '/session/start', type: 'session', token: 'FORGED' },
        reply: say.error('Acesso não autorizado.'),
      },
    ];
    // An operation without a key of the caller's gets one of the library's, new each time.
    const keys = [];
    const unkeyed = [
      () => tef.pay({ operation: 3, value: 1 }), () => tef.pay({ operation: 3, value: 1 }),
      () => tef.cancelPayment({ operation: 200, nsu: '1', date: '2025-11-26', value: 1 }), () => tef.reprint(),
    ];
    for (const call of unkeyed) {
      const outcome = call();
      keys.push((await fake.receive()).idempotency_key);
      fake.send(say.error('Valor inválido'));
      await assert.rejects(outcome);
    }
    assert.ok(keys.every((k) => typeof k === 'string' && k.length >= 16) && new Set(keys).size === keys.length, keys.join());
    assert.equal(tef.unfinishedPayment(), null, 'a refused request is no unfinished payment');
    tef.status(5);
    assert.deepEqual(await fake.receive(), { route: '/transaction/status', type: 'status', session_uuid: SESSION, sale_id: 5 });
    fake.send({ type: 'transaction_status', status: 'unknown', sale_id: 5, result: null });
    for (const { call, sent, reply } of cases) {
      const outcome = call();
      assert.deepEqual(await fake.receive(), sent);
      fake.send(reply);
      if (reply.type === 'error') {
        await assert.rejects(outcome, (error) => error.name === 'TefError' && error.message === reply.message
          && error.reply.type === 'error');
      } else {
        assert.deepEqual(await outcome, reply);
      }
    }
  });

  test('a credit sale relays menus, a typed field and a question, and resolves with the result', limit, async () => {
    await openSession();
    answers = ['Magnetico/Chip', 'Parcelado pelo Estabelecimento', '3', 'Sim'];
    const paying = tef.pay({ operation: 3, value: 10, installments: 3, payerName: 'Maria', saleId: 42 });
    assert.equal((await fake.receive()).payer_name, 'Maria');
    fake.send(say.message('Conectando ao SiTef...'), say.menu('', ['Magnetico/Chip', 'Digitado']));
    assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'menu', response: 'Magnetico/Chip', back_menu: false });
    fake.send(say.canCancel(true), say.message('Insira ou passe o cartao'), say.canCancel(false));
    fake.send(say.menu('Selecione a forma de pagamento', ['A Vista', 'Parcelado pelo Estabelecimento']));
    assert.deepEqual(await fake.receive(),
      { route: '/transaction', type: 'menu', response: 'Parcelado pelo Estabelecimento', back_menu: false });
    fake.send(say.collect('Numero de parcelas', 1, 2, 505));
    assert.deepEqual(await fake.receive(),
      { route: '/transaction', type: 'collect', typed: true, response: '3', back_menu: false });
    fake.send(say.question('Confirma 3 parcelas de R$ 3,33?'));
    assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'question', response: 'Sim' });
    fake.send(say.confirmation('Transacao aprovada'));
    assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'confirmation' });
    fake.send(approved);
    assert.deepEqual(await paying, approved);
    assert.deepEqual(seen.map((s) => s[0]), ['message', 'menu', 'canCancel', 'message', 'canCancel', 'menu',
      'collect', 'question', 'confirmation']);
    assert.deepEqual(seen[6][1], {
      title: 'Numero de parcelas', minimum: 1, maximum: 2, fieldType: 505, fieldOperation: 'string', backMenu: false,
    });
  });

  test('menus and fields answer by index, BACK and CANCEL; a question outside the options is answered "Não"', limit, async () => {
    await openSession();
    const paying = tef.pay({ operation: 3, value: 5 });
    await fake.receive();
    const rounds = [
      [1, say.menu('Cartao', ['Magnetico/Chip', 'Digitado']), { type: 'menu', response: 'Digitado', back_menu: false }],
      [BACK, say.collect('Numero do cartao', 13, 19, 512), { type: 'collect', typed: false, response: '', back_menu: true }],
      [CANCEL, say.menu('Cartao', ['Magnetico/Chip', 'Digitado']), { type: 'menu', response: '', back_menu: false }],
      ['Talvez', say.question('Deseja realmente cancelar esta operação?'), { type: 'question', response: 'Não' }],
      [CANCEL, say.collect('Validade', 4, 4, 513), { type: 'collect', typed: false, response: '', back_menu: false }],
    ];
    for (const [answer, prompt, reply] of rounds) {
      answers.push(answer);
      fake.send(prompt);
      assert.deepEqual(await fake.receive(), { route: '/transaction', ...reply }, JSON.stringify(prompt));
    }
    fake.send(say.notDone('canceled'));
    assert.equal((await paying).status, 'canceled');
  });

  test('abort() cancels while the card is awaited, answers an open prompt with CANCEL, and refuses otherwise', limit, async () => {
    await openSession();
    const paying = tef.pay({ operation: 2, value: 5 });
    await fake.receive();
    fake.send(say.message('Conectando ao SiTef...'));
    await waitUntil(() => seen.length === 1);
    await assert.rejects(tef.abort(), /não pode ser cancelado neste momento/);
    fake.send(say.canCancel(true));
    await waitUntil(() => tef.cancellable);
    await tef.abort();
    assert.deepEqual(await fake.receive(), { route: '/transaction/cancel', type: 'cancellation', session_uuid: SESSION });
    fake.send(say.canCancel(false), say.notDone('canceled'));
    assert.deepEqual(await paying, say.notDone('canceled'));
    await assert.rejects(tef.abort(), /Nenhum pagamento em andamento/);

    // A prompt the cashier has not answered yet: abort answers it and confirms the cancellation.
    const paying2 = tef.pay({ operation: 3, value: 5 });
    await fake.receive();
    answers.push(new Promise(() => {}));  // the cashier never chooses
    fake.send(say.menu('Selecione a forma de pagamento', ['A Vista', 'Parcelado pelo Estabelecimento']));
    await waitUntil(() => tef.prompt !== null);
    await tef.abort();
    assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'menu', response: '', back_menu: false });
    fake.send(say.question('Deseja realmente cancelar esta operação?'));
    assert.deepEqual(await fake.receive(), { route: '/transaction', type: 'question', response: 'Sim' });
    fake.send(say.notDone('canceled'));
    assert.equal((await paying2).status, 'canceled');
    assert.equal(seen.filter((s) => s[0] === 'question').length, 0, 'the confirmation was answered by the library');
  });

  test('two calls at once run one after the other', limit, async () => {
    await openSession();
    const paying = tef.pay({ operation: 2, value: 5 });
    const asking = tef.version();
    assert.equal((await fake.receive()).route, '/transaction');
    fake.send(say.message('Conectando ao SiTef...'));
    assert.ok(await fake.quiet(), 'the version query went out while the payment ran');
    fake.send(say.notDone('unauthorized'));
    assert.equal((await paying).status, 'unauthorized');
    assert.deepEqual(await fake.receive(), { route: '/version', type: 'version', category: 'service_exe' });
    const reply = { type: 'version', category: 'service_exe', version: '1.0.0.0', updating: false, pdv_number: '01' };
    fake.send(reply);
    assert.deepEqual(await asking, reply);
  });

  test('a late result of an earlier operation is not taken for the next one; a report error travels with the result', limit, async () => {
    const unclaimed = [];
    tef.options.onUnclaimed = (message) => unclaimed.push(message);
    await openSession();
    const paying = tef.pay({ operation: 3, value: 5 });
    await fake.receive();
    fake.send(say.notDone('canceled'));  // the tail of an earlier payment, before this one's dialogue
    fake.send(say.message('Conectando ao SiTef...'));
    fake.send(say.error('Erro ao registrar transação: Request Error timeout'));
    const canceled = { ...approved, status: 'canceled', message: 'Ocorreu um erro durante o processo, a transação TEF não será confirmada.' };
    fake.send(canceled);
    const result = await paying;
    assert.equal(result.status, 'canceled');
    assert.equal(result.callbackError, 'Erro ao registrar transação: Request Error timeout');
    assert.deepEqual(unclaimed, [say.notDone('canceled')]);
  });

  test('status asks by key, by sale or for the session\'s sale, and resolves with the reply as sent', limit, async () => {
    await openSession();
    const kept = { ...approved, idempotency_key: 'K-1' };
    const forms = [
      [5, { sale_id: 5 }],
      [{ saleId: 7 }, { sale_id: 7 }],
      [{ idempotencyKey: 'K-1' }, { idempotency_key: 'K-1' }],
      [undefined, {}],
      [{}, {}],
    ];
    for (const [which, member] of forms) {
      const asking = tef.status(which);
      assert.deepEqual(await fake.receive(), { route: '/transaction/status', type: 'status', session_uuid: SESSION, ...member },
        JSON.stringify(which));
      const reply = say.status('finished', 'K-1', 42, kept, {
        results: [{ idempotency_key: 'K-1', status: 'finished', result: kept }, { idempotency_key: 'K-0', status: 'pending', result: null }],
      });
      fake.send(reply);
      assert.deepEqual(await asking, reply);
    }
    await assert.rejects(tef.status({ idempotencyKey: 'K-1', saleId: 42 }), TypeError);
  });

  test('a connection dropped in the second payment of a sale paid in parts is recovered by that payment\'s own key', limit, async () => {
    // Sale 42: 30,00 approved by one card (key "parte-1"), then 20,00 by another, whose
    // connection drops. Whatever the service says of the sale, only "parte-2"'s answer counts.
    const first = {
      ...approved, idempotency_key: 'parte-1',
      transaction_data: [{ sale_id: 42, operation: 'credit', payment_id: 1234, transaction_value: 30, receipt: [] }],
    };
    const second = {
      ...approved, idempotency_key: 'parte-2',
      transaction_data: [{ sale_id: 42, operation: 'debit', payment_id: 1235, transaction_value: 20, receipt: [] }],
    };
    const request = { idempotencyKey: 'parte-2', type: 'transaction', operation: 2, value: 20, installments: 0, saleId: 42, payerName: '' };
    const advice = 'Aguardando o sistema de vendas; não cobre de novo.';
    const rows = [
      { name: 'finished', heard: true, replies: [say.status('finished', 'parte-2', 42, second)], resolves: second },
      {
        name: 'running, then finished', heard: true,
        replies: [say.status('running', 'parte-2', 42), say.status('finished', 'parte-2', 42, second)], resolves: second,
      },
      {
        name: 'pending', heard: true, kept: true,
        replies: [say.status('pending', 'parte-2', 42, second, { message: advice })],
        resolves: { ...second, status: 'pending', message: advice },
      },
      {
        name: 'never received', heard: false, replies: [say.status('unknown', 'parte-2', 0)],
        rejects: (e) => e.notCharged && /nada foi cobrado/.test(e.message) && isDeepStrictEqual(e.payment, request),
      },
      {
        name: 'unknown after its dialogue began', heard: true, replies: [say.status('unknown', 'parte-2', 0)],
        rejects: (e) => !e.notCharged && /não sabe como o pagamento terminou: confira no sistema de vendas/.test(e.message),
      },
      {
        name: 'an answer about the first payment', heard: true, kept: true,
        replies: [say.status('finished', 'parte-1', 42, first)], rejects: (e) => /respondeu sobre outra operação/.test(e.message),
      },
      {
        name: 'an answer by sale, without a key', heard: true, kept: true,
        replies: [{ type: 'transaction_status', status: 'finished', sale_id: 42, result: first }],
        rejects: (e) => /respondeu sobre outra operação/.test(e.message),
      },
    ];
    for (const row of rows) {
      tef.close();
      seen = [];
      tef = client({ firstRetryMs: 20 });
      await tef.connect(fake.url);
      await openSession();

      const paid = tef.pay({ operation: 3, value: 30, saleId: 42, idempotencyKey: 'parte-1' });
      assert.equal((await fake.receive()).idempotency_key, 'parte-1');
      fake.send(say.message('Conectando ao SiTef...'), first);
      assert.deepEqual(await paid, first);
      assert.equal(tef.unfinishedPayment(), null, row.name);

      const paying = tef.pay({ operation: 2, value: 20, saleId: 42, idempotencyKey: 'parte-2' });
      const outcome = paying.then((result) => ({ result }), (error) => ({ error }));
      assert.equal((await fake.receive()).idempotency_key, 'parte-2');
      assert.deepEqual(tef.unfinishedPayment(), { ...request, received: false }, row.name);
      if (row.heard) {
        fake.send(say.message('Insira ou passe o cartao'));
        await waitUntil(() => seen.length === 2);
      }
      fake.drop();
      assert.deepEqual(await fake.receive(), { route: '/session/start', type: 'session', token: 'TOKEN' }, row.name);
      fake.send(created);
      for (const reply of row.replies) {
        assert.deepEqual(await fake.receive(),
          { route: '/transaction/status', type: 'status', session_uuid: SESSION, idempotency_key: 'parte-2' }, row.name);
        fake.send(reply);
      }
      const { result, error } = await outcome;
      if (row.resolves) assert.deepEqual(result, row.resolves, row.name);
      else assert.ok(error && row.rejects(error) && error.connectionLost, `${row.name}: ${error?.message ?? JSON.stringify(result)}`);
      assert.deepEqual(tef.unfinishedPayment(), row.kept ? { ...request, received: true } : null, row.name);
    }
  });

  test('a payment takes only what carries its key: a kept result without a dialogue, its status while it runs or is pending', limit, async () => {
    const unclaimed = [];
    tef.options.onUnclaimed = (message) => unclaimed.push(message);
    await openSession();
    const kept = { ...approved, idempotency_key: 'venda-7' };
    const advice = 'Aguardando o sistema de vendas; não cobre de novo.';
    const tail = { ...approved, idempotency_key: 'outra' };
    const rows = [
      // A known key gets its kept result at once; another operation's result is not this payment's.
      { name: 'finished', answers: [[tail, kept]], resolves: kept, unclaimed: [tail] },
      {
        name: 'another result in its dialogue', answers: [[say.message('Conectando ao SiTef...'), tail, kept]],
        resolves: kept, unclaimed: [tail],
      },
      {
        name: 'running', answers: [[say.status('running', 'venda-7', 42)], [say.status('finished', 'venda-7', 42, kept)]],
        resolves: kept,
      },
      {
        name: 'pending', kept: true, answers: [[say.status('pending', 'venda-7', 42, null, { message: advice })]],
        resolves: { type: 'result', status: 'pending', message: advice, idempotency_key: 'venda-7' },
      },
    ];
    for (const row of rows) {
      unclaimed.length = 0;
      const paying = tef.pay({ operation: 3, value: 10.5, saleId: 42, idempotencyKey: 'venda-7' });
      for (const [i, messages] of row.answers.entries()) {
        const sent = await fake.receive();
        assert.deepEqual([sent.route, sent.idempotency_key], [i === 0 ? '/transaction' : '/transaction/status', 'venda-7'], row.name);
        fake.send(...messages);
      }
      assert.deepEqual(await paying, row.resolves, row.name);
      assert.equal(tef.unfinishedPayment()?.idempotencyKey ?? null, row.kept ? 'venda-7' : null, row.name);
      assert.deepEqual(unclaimed, row.unclaimed ?? [], row.name);
    }
  });

  test('a key refused as another request\'s rejects, and the payment that key belongs to stays unfinished', limit, async () => {
    await openSession();
    const pending = tef.pay({ operation: 3, value: 10.5, saleId: 42, idempotencyKey: 'venda-8' });
    await fake.receive();
    fake.send(say.message('Conectando ao SiTef...'), { ...approved, status: 'pending', idempotency_key: 'venda-8' });
    assert.equal((await pending).status, 'pending');
    const held = tef.unfinishedPayment();
    assert.deepEqual([held.idempotencyKey, held.value, held.received], ['venda-8', 10.5, true]);

    const refusal = 'A chave idempotency_key "venda-8" pertence a outro pedido; nada foi cobrado.';
    const other = tef.pay({ operation: 3, value: 99, saleId: 42, idempotencyKey: 'venda-8' });
    const sent = await fake.receive();
    assert.deepEqual([sent.idempotency_key, sent.transaction_value], ['venda-8', 99]);
    fake.send(say.error(refusal));
    await assert.rejects(other, (e) => e.name === 'TefError' && e.message === refusal && e.reply.type === 'error');
    assert.deepEqual(tef.unfinishedPayment(), held);
  });

  test('a cancellation the service never got rejects as not done, and sent again from the error it is the same request', limit, async () => {
    tef.close();
    tef = client({ firstRetryMs: 20 });
    await tef.connect(fake.url);
    await openSession();
    const canceling = tef.cancelPayment({ operation: 200, nsu: '412345', date: '2025-11-26', value: 10.5, saleId: 9, idempotencyKey: 'estorno-9' });
    const sent = await fake.receive();
    fake.drop();
    await fake.receive();
    fake.send(created);
    assert.deepEqual(await fake.receive(),
      { route: '/transaction/status', type: 'status', session_uuid: SESSION, idempotency_key: 'estorno-9' });
    fake.send(say.status('unknown', 'estorno-9', 0));
    const error = await canceling.then(() => assert.fail('resolved'), (e) => e);
    assert.ok(error.notCharged && /não recebeu o cancelamento: nada foi cancelado/.test(error.message), error.message);
    assert.equal(tef.unfinishedPayment(), null);

    const again = tef.cancelPayment(error.payment);
    assert.deepEqual(await fake.receive(), sent);
    fake.send(say.message('Conectando ao SiTef...'), say.notDone('canceled'));
    assert.equal((await again).status, 'canceled');
  });

  test('a page reloaded in the middle of a payment resumes it by the key kept in its storage', limit, async () => {
    const items = new Map();
    const storage = {
      getItem: (k) => (items.has(k) ? items.get(k) : null),
      setItem: (k, v) => { items.set(k, String(v)); },
      removeItem: (k) => { items.delete(k); },
    };
    const stored = () => [...items.values()].map((text) => JSON.parse(text));
    tef.close();
    tef = client({ storage });
    await tef.connect(fake.url);
    await openSession();
    const request = { idempotencyKey: 'venda-9', type: 'transaction', operation: 3, value: 12.5, installments: 2, saleId: 9, payerName: 'Ana' };
    const paying = tef.pay({ operation: 3, value: 12.5, installments: 2, saleId: 9, payerName: 'Ana', idempotencyKey: 'venda-9' });
    await fake.receive();
    assert.deepEqual(stored(), [[{ ...request, received: false }]], 'kept before the request went out');
    fake.send(say.message('Conectando ao SiTef...'));
    await waitUntil(() => seen.length === 1);
    tef.close();  // the page goes away
    await assert.rejects(paying);

    tef = client({ storage });
    assert.deepEqual(tef.unfinishedPayment(), { ...request, received: true });
    await tef.connect(fake.url);
    await openSession();
    const resumed = tef.resumePayment();
    const result = { ...approved, idempotency_key: 'venda-9' };
    for (const reply of [say.status('running', 'venda-9', 9), say.status('finished', 'venda-9', 9, result)]) {
      assert.deepEqual(await fake.receive(), { route: '/transaction/status', type: 'status', session_uuid: SESSION, idempotency_key: 'venda-9' });
      fake.send(reply);
    }
    assert.deepEqual(await resumed, result);
    assert.deepEqual(stored(), [], 'dropped once the outcome is known');
    assert.equal(tef.unfinishedPayment(), null);
    await assert.rejects(tef.resumePayment(), /Nenhum pagamento sem resultado conhecido/);
  });

  test('print sends the document as base64 and proves its acceptance with a version query', limit, async () => {
    const pdf = new Uint8Array([0x25, 0x50, 0x44, 0x46, 0xff, 0x00]);
    const printing = tef.print({ pdf });
    assert.deepEqual(await fake.receive(), { route: '/print', type: 'print', data: 'JVBERv8A', file_type: 'pdf' });
    assert.deepEqual(await fake.receive(), { route: '/version', type: 'version', category: 'service_exe' });
    fake.send({ type: 'version', category: 'service_exe', version: '1.0.0.0', updating: false, pdv_number: '01' });
    await printing;

    const layout = '<receipt><title>PÃO</title></receipt>';
    const refused = tef.print({ layout });
    const sent = await fake.receive();
    assert.equal(Buffer.from(sent.data, 'base64').toString('utf8'), layout);
    assert.equal(sent.file_type, 'gdi');
    await fake.receive();
    fake.send(say.error('Erro na conversão do arquivo: base64 inválido'), say.error('Arquivo convertido não localizado.'),
      { type: 'version', category: 'service_exe', version: '1.0.0.0', updating: false, pdv_number: '01' });
    await assert.rejects(refused, { message: 'Erro na conversão do arquivo: base64 inválido Arquivo convertido não localizado.' });
  });

  test('a request that the service never answers fails with advice instead of hanging', limit, async () => {
    tef.close();
    tef = client({ replyTimeoutMs: 300 });
    await tef.connect(fake.url);
    await openSession();
    await assert.rejects(tef.pay({ operation: 3, value: 5 }), /não respondeu a \/transaction em 0 s\. Outra operação/);
    // The queue goes on after the failure.
    const asking = tef.version();
    await fake.receive();  // the unanswered /transaction
    assert.equal((await fake.receive()).route, '/version');
    fake.send({ type: 'version', category: 'service_exe', version: '1', updating: false, pdv_number: '01' });
    assert.equal((await asking).version, '1');
  });
});

describe('connection', () => {
  test('a service that restarts is reconnected to; the call in flight fails and the next one waits for it', limit, async () => {
    const service = await startFakeService(certificates);
    const states = [];
    const tefClient = client({ firstRetryMs: 50, maxRetryMs: 200, onStatus: (state) => states.push(state) });
    try {
      await tefClient.connect(service.url);
      const port = service.port;
      const asking = tefClient.version();
      await service.receive();
      await service.stop();
      await assert.rejects(asking, /A conexão com o serviço caiu antes da resposta/);
      const queued = tefClient.version();  // waits for the connection to come back
      await waitUntil(() => states.filter((s) => s === 'reconnecting').length >= 2);
      const restarted = await startFakeService(certificates, port);
      try {
        assert.deepEqual(await restarted.receive(), { route: '/version', type: 'version', category: 'service_exe' });
        restarted.send({ type: 'version', category: 'service_exe', version: '2', updating: false, pdv_number: '01' });
        assert.equal((await queued).version, '2');
        assert.deepEqual(states.slice(0, 2), ['connecting', 'open']);
        assert.equal(states.at(-1), 'open');
      } finally {
        tefClient.close();
        await restarted.stop();
      }
    } finally {
      tefClient.close();
    }
  });

  test('a service that is down or whose certificate is not trusted gets an error that says what to do', limit, async () => {
    const service = await startFakeService(certificates);
    const port = service.port;
    const stranger = makeCertificates();
    fs.rmSync(stranger.folder, { recursive: true, force: true });
    const untrusted = new NorvaneTef({ WebSocket: trustingWebSocket(stranger.ca) });
    try {
      await assert.rejects(untrusted.connect(service.url),
        /Verifique se o serviço está em execução.*abra https:\/\/localhost:\d+\/ e aceite o certificado/s);
    } finally {
      untrusted.close();
      await service.stop();
    }
    const nobody = client();
    try {
      await assert.rejects(nobody.connect(`wss://localhost:${port}`), /Não foi possível conectar ao serviço Norvane TEF/);
    } finally {
      nobody.close();
    }
  });
});
