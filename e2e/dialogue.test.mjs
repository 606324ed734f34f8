// The payment dialogue against stray messages, cancel answers and silence: the installed
// service with the stand-in CliSiTef library, driven by a raw wss client.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, beforeEach, describe, test } from 'node:test';
import { journal, readUntil, sessionClient, setStandIn, startPaymentService } from './lib/payment-helpers.mjs';

const limit = { timeout: 60000 };
const busy = { type: 'error', message: 'Uma operação TEF está em andamento; aguarde o seu resultado.' };
const notDone = 'Transação TEF não realizada.';
// A result names its payment by a key (the service makes one when the request had none).
const withoutKey = ({ idempotency_key: key, ...rest }) => { assert.equal(typeof key, 'string'); return rest; };
const sale = { payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 };
const continuations = (service) => journal(service).split('\n').filter((l) => l.includes('ContinuaFuncaoSiTefInterativo'));
// The TEF log, all days together.
const tefLog = (service) => {
  const root = path.join(service.dir, 'Log');
  if (!fs.existsSync(root)) return '';
  return fs.readdirSync(root).flatMap((month) => fs.readdirSync(path.join(root, month))
    .filter((f) => f.startsWith('TEF-')).map((f) => fs.readFileSync(path.join(root, month, f), 'latin1'))).join('');
};
const answer = (members) => ({ route: '/transaction', ...members });

// Answers every question with `script[type](message)` (default: the first option, a typed
// "1", "Sim", OK) until the result; returns [everything read, the result].
async function converse(client, script = {}) {
  const read = [];
  for (;;) {
    const [seen, m] = await readUntil(client, (x) => ['menu', 'collect', 'question', 'confirmation', 'result'].includes(x.type));
    read.push(...seen);
    if (m.type === 'result') return [read, m];
    const reply = script[m.type]?.(m);
    if (reply === null) continue;  // the script answers by itself
    if (reply !== undefined) client.send(answer(reply));
    else if (m.type === 'menu') client.send(answer({ type: 'menu', response: m.options[0], back_menu: false }));
    else if (m.type === 'collect') client.send(answer({ type: 'collect', typed: true, response: '1', back_menu: false }));
    else if (m.type === 'question') client.send(answer({ type: 'question', response: 'Sim' }));
    else client.send(answer({ type: 'confirmation' }));
  }
}

const pick = (pattern) => (m) => ({ type: 'menu', response: m.options.find((o) => pattern.test(o)) ?? m.options[0], back_menu: false });
const typed = (response) => ({ type: 'collect', typed: true, response, back_menu: false });
// The fields of a typed credit card and of a check, by their field type.
const fields = {
  512: '4111111111111111', 513: '1230', 514: '123',
  501: '0', 502: '12345678909', 506: '', 517: '0:' + '0'.repeat(28) + '1',
};
const byField = (overrides = {}) => (m) => typed({ ...fields, ...overrides }[m.field_type] ?? '1');

describe('the payment dialogue', () => {
  let service, backend;
  before(async () => { ({ service, backend } = await startPaymentService()); });
  after(async () => { await backend?.close(); await service?.dispose(); });
  beforeEach(() => {
    backend.answer = { status: 201, body: { data: 1234 } };
    setStandIn(service);
  });

  const start = async (members) => {
    const { client, session } = await sessionClient(service, backend);
    client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, ...members });
    return { client, session };
  };

  test('a check payment asks its data, the check data as a "cmc7" field, and is approved', limit, async () => {
    for (const members of [{ operation: 1 }, { operation: 0, pick: /Cheque/ }]) {
      const { client } = await start({ operation: members.operation });
      try {
        const [read, result] = await converse(client, { menu: pick(members.pick ?? /./), collect: byField() });
        assert.equal(result.status, 'approved', JSON.stringify(read.slice(-5)));
        const asked = read.filter((m) => m.type === 'collect').map((m) => [m.field_type, m.field_operation]);
        assert.deepEqual(asked, [[501, 'string'], [502, 'string'], [517, 'cmc7'], [506, 'string']]);
        // Nothing went round in circles: a handful of empty messages, not thousands.
        assert.ok(read.length < 40, `${read.length} messages`);
      } finally {
        await client.close();
      }
    }
  });

  test('a check whose data is refused and sent back again and again ends, logged, instead of spinning', limit, async () => {
    const { client } = await start({ operation: 1 });
    try {
      // The client goes back from the check data every time, and gives the same CPF.
      const [read, result] = await converse(client, {
        collect: (m) => (m.field_type === 517 ? { type: 'collect', typed: false, response: '', back_menu: true } : byField()(m)),
      });
      assert.deepEqual(withoutKey(result), { type: 'result', status: 'canceled', message: notDone });
      assert.match(tefLog(service), /campo 502\) foi pedido 20 vezes com a mesma resposta/);
      assert.equal(read.filter((m) => m.type === 'collect' && m.field_type === 502).length, 20);
      assert.match(continuations(service).at(-1), /continua=-1/);
    } finally {
      await client.close();
    }
  });

  test('a client that leaves a check payment, or a service told to stop, ends the library function', limit, async () => {
    const { client } = await start({ operation: 1 });
    await readUntil(client, (m) => m.type === 'collect' && m.field_type === 501);
    client.ws.terminate();
    const next = await sessionClient(service, backend);
    try {
      next.client.send({ route: '/version', type: 'version', category: 'service_exe' });
      await readUntil(next.client, (m) => m.type === 'version');
      assert.match(continuations(service).at(-1), /continua=-1/);
    } finally {
      await next.client.close();
    }
  });

  test('routes sent during a payment are served or refused at once and do not answer the dialogue', limit, async () => {
    const { client, session } = await start({ operation: 0 });
    try {
      client.send({ route: '/pinpad/status', type: 'status', session_uuid: session });
      const [seen] = await readUntil(client, (m) => m.type === 'error');
      assert.deepEqual(seen.at(-1), busy);
      const [, menu] = seen.some((m) => m.type === 'menu') ? [null, seen.find((m) => m.type === 'menu')]
        : await readUntil(client, (m) => m.type === 'menu');
      // Each of these gets its own reply; the menu still waits for its answer. "/print" is
      // served, not refused as busy: its reply is the print route's own.
      const requests = [
        [{ route: '/initialize', type: 'initialize', session_uuid: session }, busy],
        [{ route: '/transaction', type: 'transaction', session_uuid: session, operation: 3, ...sale }, busy],
        [{ route: '/print', type: 'print', file_type: 'txt', data: 'eA==' },
          { type: 'error', message: 'Tipo do arquivo inválido. Valor permitido [pdf,gdi]' }],
      ];
      for (const [request, reply] of requests) {
        client.send(request);
        const [, got] = await readUntil(client, (m) => m.type === 'error');
        assert.deepEqual(got, reply, request.route);
      }
      client.send({ route: '/version', type: 'version', category: 'service_exe' });
      await readUntil(client, (m) => m.type === 'version');
      client.send(answer(pick(/Credito/)(menu)));
      // The card wait: "/version" answered there too.
      const [, result] = await converse(client, {
        menu: pick(/Magnetico/),
        collect: byField(),
      });
      assert.equal(result.status, 'approved', JSON.stringify(result));
    } finally {
      await client.close();
    }
  });

  test('"/version" sent while the card is awaited is answered at once', limit, async () => {
    setStandIn(service, { Scenario: 'abort' });
    const { client, session } = await start({ operation: 3 });
    try {
      await readUntil(client, (m) => m.type === 'can_cancel' && m.can_cancel);
      client.send({ route: '/version', type: 'version', category: 'service_exe' });
      await readUntil(client, (m) => m.type === 'version');
      client.send({ route: '/transaction/cancel', type: 'cancellation', session_uuid: session });
      const [, result] = await converse(client);
      assert.equal(result.status, 'canceled');
    } finally {
      await client.close();
    }
  });

  test('garbage while a menu waits gets an error reply and the menu keeps waiting', limit, async () => {
    const { client } = await start({ operation: 0 });
    try {
      const [, menu] = await readUntil(client, (m) => m.type === 'menu');
      const rows = [
        ['no JSON', 'Mensagem inválida.'],
        [JSON.stringify({ route: '/transaction', response: '1:Cheque' }), 'Campo type nao encontrado.'],
        [JSON.stringify({ type: 'menu', response: '1:Cheque' }), 'Campo route nao encontrado.'],
      ];
      for (const [text, message] of rows) {
        client.send(text);
        const [, got] = await readUntil(client, (m) => m.type === 'error' || m.type === 'result');
        assert.deepEqual(got, { type: 'error', message });
      }
      // A late answer of another kind is no answer to the menu either.
      client.send(answer({ type: 'confirmation' }));
      client.send(answer(pick(/Pix/)(menu)));
      const [, result] = await converse(client);
      assert.equal(result.status, 'approved', JSON.stringify(result));
      assert.equal(result.transaction_data[0].operation, 'pix');
    } finally {
      await client.close();
    }
  });

  // Cancel answers at a field and at a menu: "Sim" ends the library function, "Não" puts
  // the same question again.
  const cancels = [
    { what: 'a field answered "typed": false', at: 'collect', cancel: { type: 'collect', typed: false, response: '', back_menu: false } },
    { what: 'a menu answered with nothing', at: 'menu', cancel: { type: 'menu', response: '', back_menu: false } },
  ];
  for (const row of cancels) {
    test(`${row.what}, then "Sim", cancels; then "Não" asks again`, limit, async () => {
      for (const choice of ['Sim', 'Não']) {
        const { client } = await start({ operation: 0 });
        try {
          let cancelled = false;
          let asked = 0;
          const [read, result] = await converse(client, {
            menu: (m) => {
              if (row.at === 'menu' && !cancelled) { cancelled = true; return row.cancel; }
              return pick(/Credito|Digitado|A Vista/)(m);
            },
            collect: (m) => {
              if (row.at === 'collect' && m.field_type === 512 && ++asked && !cancelled) { cancelled = true; return row.cancel; }
              return byField()(m);
            },
            question: (m) => ({ type: 'question', response: /cancelar/.test(m.message) ? choice : 'Sim' }),
          });
          const again = read.filter((m) => m.type === row.at && (row.at === 'menu' ? /Cheque/.test(m.options[0]) : m.field_type === 512));
          if (choice === 'Sim') {
            assert.deepEqual(withoutKey(result), { type: 'result', status: 'canceled', message: notDone });
            assert.match(continuations(service).at(-1), /continua=-1/);
          } else {
            assert.equal(result.status, 'approved', JSON.stringify(read.slice(-4)));
            assert.equal(again.length, 2);  // the same question, asked once more
          }
        } finally {
          await client.close();
        }
      }
    });
  }

  test('a back-end that refuses the report is told to the client before "canceled"', limit, async () => {
    backend.answer = { status: 422, body: { message: 'Venda já paga' } };
    const { client } = await start({ operation: 3 });
    try {
      const [read, result] = await converse(client);
      assert.equal(result.status, 'canceled');
      const errors = read.filter((m) => m.type === 'error');
      assert.deepEqual(errors, [{ type: 'error', message: 'Erro ao registrar transação: Code: 422 - Message: Venda já paga' }]);
    } finally {
      await client.close();
    }
  });
});

describe('a service told to stop during a check payment', () => {
  test('ends the library function and exits', limit, async () => {
    const { service, backend } = await startPaymentService();
    try {
      const { client, session } = await sessionClient(service, backend);
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, operation: 1 });
      await readUntil(client, (m) => m.type === 'collect' && m.field_type === 501);
      const exit = await service.stop();
      assert.equal(exit.code, 0, JSON.stringify(exit));
      assert.match(continuations(service).at(-1), /continua=-1/);
    } finally {
      await backend.close();
      await service.dispose();
    }
  });
});

describe('a dialogue nobody answers', () => {
  let service, backend;
  before(async () => {
    ({ service, backend } = await startPaymentService({ env: { NORVANE_TEST_ANSWER_TIMEOUT_MS: '1500' } }));
  });
  after(async () => { await backend?.close(); await service?.dispose(); });

  const timeouts = (text) => (text.match(/GetClientResponse: timeout aguardando resposta do cliente\./g) ?? []).length;

  test('a field left unanswered ends the payment after one time-out', limit, async () => {
    setStandIn(service);
    const { client, session } = await sessionClient(service, backend);
    try {
      const before = timeouts(service.logText());
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, operation: 0 });
      let [, m] = await readUntil(client, (x) => x.type === 'menu');
      client.send(answer(pick(/Credito/)(m)));
      [, m] = await readUntil(client, (x) => x.type === 'menu');
      client.send(answer(pick(/Digitado/)(m)));
      await readUntil(client, (x) => x.type === 'collect');
      const [, result] = await readUntil(client, (x) => x.type === 'result');
      assert.deepEqual(withoutKey(result), { type: 'result', status: 'canceled', message: notDone });
      assert.equal(timeouts(service.logText()) - before, 1);
      assert.match(continuations(service).at(-1), /continua=-1/);
    } finally {
      await client.close();
    }
  });

  test('a decline whose notice nobody acknowledges stays "unauthorized"', limit, async () => {
    setStandIn(service, { Scenario: 'unauthorized' });
    const { client, session } = await sessionClient(service, backend);
    try {
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, operation: 3 });
      await readUntil(client, (x) => x.type === 'confirmation' && x.message === 'Unauthorized');
      const [, result] = await readUntil(client, (x) => x.type === 'result');
      assert.deepEqual(withoutKey(result), { type: 'result', status: 'unauthorized', message: notDone });
    } finally {
      await client.close();
    }
  });
});
