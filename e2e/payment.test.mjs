// Payments end to end: the installed service with the stand-in CliSiTef library, a real
// HTTPS sales back-end, and the README's browser example as the sales application.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, beforeEach, describe, test } from 'node:test';
import { decodeProtectedHeader, jwtVerify } from 'jose';
import {
  intermediateIssuedCertificate, selfSignedCertificate, startSalesBackend, trustedCertificate,
} from './lib/sales-backend.mjs';
import { SHARED_SECRET, connectClient } from './lib/session-helpers.mjs';
import {
  answerDialogue, controlRoot, finalisations, journalMark, readUntil, readmeTakePayment, scriptedOperator, sessionClient,
  setStandIn, startPaymentService, token,
} from './lib/payment-helpers.mjs';
import { serviceDir, startService } from './lib/service.mjs';

const limit = { timeout: 60000 };
const sale = { operation: 3, payer_name: 'Ana Lúcia', transaction_value: 10.5, number_of_installments: 0 };
const notConfirmed = 'Ocorreu um erro durante o processo, a transação TEF não será confirmada.';
const confirmed = ['confirma=1 transacao="confirmada"'];
const undone = ['confirma=0 transacao="desfeita"'];
// A message answered at once ("Campo route nao encontrado."), sent behind others: its reply
// coming next proves that those got none.
const barrier = JSON.stringify({ type: 'error', message: 'Campo route nao encontrado.' });
async function nextAfterBarrier(client) {
  client.send({});
  return client.next(15000);
}

describe('payments', () => {
  let service, backend, takePayment, url;
  before(async () => {
    ({ service, backend } = await startPaymentService());
    takePayment = readmeTakePayment(service.caCert);
    url = `wss://127.0.0.1:${service.port}`;
  });
  after(async () => { await backend?.close(); await service?.dispose(); });
  beforeEach(() => {
    backend.answer = { status: 201, body: { data: 1234 } };
    setStandIn(service);
  });

  test('an approved credit sale is reported, confirmed and answered with its receipts', limit, async () => {
    // Function 0 asks the kind of payment and how the card is read: credit, typed.
    const operator = scriptedOperator({ menu: (title, options) => options.find((o) => /Credito|Digitado/.test(o)) });
    const before = backend.requests.length;
    const mark = journalMark(service);
    const result = await takePayment(url, await token(backend), { ...sale, operation: 0 }, operator);

    assert.equal(result.status, 'approved', JSON.stringify(result));
    assert.equal(result.message, 'Transação TEF concluída com sucesso.');
    const [element] = result.transaction_data;
    assert.equal(element.operation, 'credit');
    assert.equal(element.sale_id, 42);
    assert.equal(element.payer_name, 'Ana Lúcia');
    assert.equal(element.transaction_value, 10.5);
    assert.equal(element.payment_id, 1234);
    assert.equal(element.company_id, 7);
    assert.equal(element.gateway, 'Software Express');
    assert.match(element.transaction_date_time, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
    assert.deepEqual(element.receipt.map((r) => r.copy_number), [1, 2]);
    assert.ok(element.receipt.every((r) => r.data.length > 3));

    // The dialogue, in order: the card-entry menu, the typed card's fields, messages.
    const kinds = operator.seen.map((s) => s.type);
    const firstMenu = kinds.indexOf('menu');
    const firstCollect = kinds.indexOf('collect');
    assert.ok(firstMenu >= 0 && firstCollect > firstMenu, kinds.join(','));
    assert.ok(kinds.includes('message'), kinds.join(','));
    assert.ok(operator.seen.some((s) => s.type === 'message' && s.text === 'Inicializando TEF...'));

    // The back-end got the result before the payment id, on the token path.
    assert.equal(backend.requests.length, before + 1);
    const request = backend.requests[before];
    assert.equal(request.method, 'POST');
    const match = request.url.match(/^\/api\/v1\/sales\/tef\/callback\/([\w-]+\.[\w-]+\.[\w-]+)$/);
    assert.ok(match, request.url);
    assert.equal(decodeProtectedHeader(match[1]).alg, 'HS384');
    assert.deepEqual((await jwtVerify(match[1], SHARED_SECRET)).payload, {});
    assert.equal(request.headers['content-type'], 'application/json');
    assert.equal(request.headers.accept, '*/*');
    assert.equal(request.headers['accept-charset'], 'UTF-8, *;q=0.8');
    assert.equal(request.headers['user-agent'], undefined);
    assert.match(request.body, /^[\x20-\x7e]*$/);  // every character beyond ASCII escaped
    const body = JSON.parse(request.body);
    assert.deepEqual(Object.keys(body), ['type', 'status', 'message', 'transaction_data']);
    assert.equal(body.status, 'approved');
    assert.equal(body.transaction_data[0].payment_id, undefined);

    assert.deepEqual(finalisations(service, mark), confirmed);
  });

  // Every refusal is told to the client, with the back-end's status and message, before the result.
  const refusals = [
    { what: 'a 500 answer', answer: { status: 500, body: 'falhou' }, log: 'Erro ao registrar transação na API: 500 - Internal Server Error',
      told: 'Erro ao registrar transação: 500 - Internal Server Error' },
    { what: 'a 422 answer with a message', answer: { status: 422, body: { message: 'Venda já paga' } },
      log: 'Erro ao registrar transação na API: Code: 422 - Message: Venda já paga',
      told: 'Erro ao registrar transação: Code: 422 - Message: Venda já paga' },
    { what: 'no answer', answer: { hang: true }, log: 'Erro ao registrar transação na API: Request Error', told: 'Erro ao registrar transação: Request Error' },
  ];
  for (const row of refusals) {
    test(`a payment the back-end does not accept (${row.what}) is undone`, limit, async () => {
      backend.answer = row.answer;
      const operator = scriptedOperator();
      const mark = journalMark(service);
      const result = await takePayment(url, await token(backend), sale, operator);
      assert.equal(result.status, 'canceled', JSON.stringify(result));
      assert.equal(result.message, notConfirmed);
      assert.deepEqual(Object.keys(result), ['type', 'transaction_data', 'status', 'message', 'idempotency_key']);
      assert.equal(result.transaction_data[0].payment_id, 0);
      assert.deepEqual(finalisations(service, mark), undone);
      assert.ok(service.logText().includes(row.log), row.log);
      const told = operator.seen.filter((s) => s.type === 'message' && s.text.startsWith('Erro ao registrar transação'));
      assert.equal(told.length, 1, JSON.stringify(told));
      assert.ok(told[0].text.startsWith(row.told), told[0].text);
    });
  }

  test('a redirect of the callback address is followed with the report', limit, async () => {
    const before = backend.requests.length;
    const mark = journalMark(service);
    const result = await takePayment(url, await token(backend, { callback_url: backend.baseUrl('/redirected-from/api/') }),
      sale, scriptedOperator());
    assert.equal(result.status, 'approved', JSON.stringify(result));
    assert.deepEqual(finalisations(service, mark), confirmed);
    assert.match(backend.requests[before].url, /^\/api\/v1\/sales\/tef\/callback\//);
    assert.equal(JSON.parse(backend.requests[before].body).type, 'result');
  });

  test('a declined sale and a sale the client cancels while the card is awaited', limit, async () => {
    setStandIn(service, { Scenario: 'declined' });
    const mark = journalMark(service);
    const declined = await takePayment(url, await token(backend), sale, scriptedOperator());
    assert.equal(declined.message, 'Transação TEF não realizada.');
    assert.equal(declined.status, 'unauthorized');

    setStandIn(service, { Scenario: 'abort' });
    const operator = scriptedOperator({ cancelWhenAllowed: true });
    const cancelled = await takePayment(url, await token(backend), sale, operator);
    assert.deepEqual({ ...cancelled, idempotency_key: typeof cancelled.idempotency_key },
      { type: 'result', status: 'canceled', message: 'Transação TEF não realizada.', idempotency_key: 'string' });
    assert.ok(operator.seen.some((s) => s.type === 'can_cancel' && s.allowed));
    assert.deepEqual(finalisations(service, mark), []);  // nothing approved, nothing settled
  });

  test('an instant payment shows its QR code; a second transaction meanwhile changes nothing', limit, async () => {
    const { client, session } = await sessionClient(service, backend);
    const mark = journalMark(service);
    try {
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, operation: 122,
        payer_name: 'Pix', transaction_value: '25,00' });
      const [, qr] = await readUntil(client, (m) => m.type === 'qrcode');
      assert.match(qr.data, /^000201/);
      // A second request while the payment runs is refused at once and answers nothing.
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, operation: 3,
        payer_name: 'Outro', transaction_value: 1 });
      const [read, result] = await readUntil(client, (m) => m.type === 'result');
      assert.equal(result.status, 'approved', JSON.stringify(read));
      assert.deepEqual(read.filter((m) => m.type === 'error'),
        [{ type: 'error', message: 'Uma operação TEF está em andamento; aguarde o seu resultado.' }]);
      assert.equal(result.transaction_data[0].operation, 'pix');
      assert.equal(result.transaction_data[0].payer_name, 'Pix');
      assert.equal(result.transaction_data[0].transaction_value, 25);
      assert.equal(await nextAfterBarrier(client), barrier);
      assert.deepEqual(finalisations(service, mark), confirmed);
    } finally {
      await client.close();
    }
  });

  test('a cancellation of an earlier sale and a reprint', limit, async () => {
    const { client, session } = await sessionClient(service, backend);
    try {
      client.send({ route: '/transaction', type: 'cancellation', session_uuid: session, operation: 200,
        cancellation_nsu: '123456', transaction_date: '2025-11-26 15:48:41', transaction_value: 10.5 });
      const mark = journalMark(service);
      const cancellation = await answerDialogue(client);
      assert.equal(cancellation.status, 'approved', JSON.stringify(cancellation));
      assert.equal(cancellation.transaction_data[0].operation, 'cancellation');
      assert.equal(cancellation.transaction_data[0].canceled_nsu, '123456');
      assert.equal(cancellation.transaction_data[0].card_number, undefined);

      client.send({ route: '/transaction', type: 'reprint', session_uuid: session, operation: 113 });
      const reprint = await answerDialogue(client);
      assert.equal(reprint?.status, 'approved', JSON.stringify(reprint));
      assert.deepEqual(Object.keys(reprint.transaction_data[0]),
        ['sale_id', 'operation', 'receipt', 'payment_id', 'company_id']);
      assert.equal(reprint.transaction_data[0].operation, 'reprint');
      // The cancellation is confirmed once; a reprint settles nothing.
      assert.deepEqual(finalisations(service, mark), confirmed);
    } finally {
      await client.close();
    }
  });

  test('a refused request and a cancel that is not allowed', limit, async () => {
    const { client, session } = await sessionClient(service, backend);
    try {
      const rows = [
        [{ type: 'Transaction', operation: 3 }, 'O campo type diferente de transaction'],
        [{ type: 'cancellation', operation: 200, cancellation_nsu: ' ', transaction_date: '2025-11-26' },
          'O campo "cancellation_nsu" não foi preenchido.'],
        [{ type: 'cancellation', operation: 200, cancellation_nsu: '1', transaction_date: '26/11/2025' },
          'O campo "transaction_date" não foi preenchido corretamente.'],
        [{ type: 'transaction', operation: 3, payer_name: 'x' }, 'Valor inválido'],
      ];
      for (const [members, message] of rows) {
        client.send({ route: '/transaction', session_uuid: session, ...members });
        assert.deepEqual(JSON.parse(await client.next()), { type: 'error', message });
      }
      client.send({ route: '/transaction/cancel', type: 'cancellation', session_uuid: session });
      client.send({ route: '/transaction', type: 'confirmation' });
      assert.equal(await nextAfterBarrier(client), barrier);
      assert.match(service.logText(), /Entrou no cancelamento\.[\s\S]*Não pode cancelar/);
    } finally {
      await client.close();
    }
  });

  test('pin-pad status for each answer of the library', limit, async () => {
    const { client, session } = await sessionClient(service, backend);
    try {
      const rows = [
        [1, { type: 'status', status: 'connected', message: 'PinPad conectado' }],
        [0, { type: 'status', status: 'disconnected', message: 'Nenhum PinPad conectado' }],
        [-1, { type: 'status', status: 'error', message: 'Erro na dll ou arquivo de configuração do PinPad' }],
        [7, { type: 'status', status: '', message: '' }],
      ];
      for (const [answer, reply] of rows) {
        setStandIn(service, { PinPad: answer });
        client.send({ route: '/pinpad/status', type: 'status', session_uuid: session });
        assert.deepEqual(JSON.parse(await client.next()), reply);
      }
      client.send({ route: '/pinpad/status', type: 'pinpad', session_uuid: session });
      assert.deepEqual(JSON.parse(await client.next()), { type: 'error', message: 'Campo type diferente de pinpad.' });
      client.send({ route: '/initialize', type: 'initialize', session_uuid: session });
      assert.deepEqual(JSON.parse(await client.next()), { type: 'initialize', message: 'Inicializado com sucesso.' });
    } finally {
      await client.close();
    }
  });

  test('a client that leaves in the middle of a payment: nothing confirmed, the next client served', limit, async () => {
    // The payment is approved and the back-end told, but it holds its answer: the client goes
    // away meanwhile, and the payment is undone once the answer does not come.
    backend.answer = { hang: true };
    const mark = journalMark(service);
    const { client, session } = await sessionClient(service, backend);
    const reported = backend.request(backend.requests.length + 1);
    client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale });
    const answering = answerDialogue(client);
    await reported;
    client.ws.terminate();
    assert.equal(await answering, null);

    const next = await sessionClient(service, backend);
    try {
      // Served once the payment is over.
      next.client.send({ route: '/version', type: 'version', category: 'service_exe' });
      const [, version] = await readUntil(next.client, (m) => m.type === 'version');
      assert.equal(version.updating, false);
      assert.deepEqual(finalisations(service, mark), undone);
      assert.match(service.logText(), /Erro ao registrar transação na API: Request Error/);
    } finally {
      await next.client.close();
    }
  });

  test('a client that leaves while the card is awaited: the payment ends, the next client served', limit, async () => {
    setStandIn(service, { Scenario: 'abort' });
    const mark = journalMark(service);
    const { client, session } = await sessionClient(service, backend);
    client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale });
    await readUntil(client, (m) => m.type === 'can_cancel' && m.can_cancel);
    client.ws.terminate();

    const next = await sessionClient(service, backend);
    try {
      next.client.send({ route: '/version', type: 'version', category: 'service_exe' });
      const [, version] = await readUntil(next.client, (m) => m.type === 'version');
      assert.equal(version.updating, false);
      assert.deepEqual(finalisations(service, mark), []);  // nothing approved, nothing settled
      assert.match(service.logText(), /o cliente desconectou durante a opera/);
    } finally {
      await next.client.close();
    }
  });
});

describe('session starts configure CliSiTef', () => {
  let service, backend;
  before(async () => { ({ service, backend } = await startPaymentService({ env: {} })); });
  after(async () => { await backend?.close(); await service?.dispose(); });

  const start = async (overrides) => {
    const client = await connectClient(service.port);
    try {
      client.send({ route: '/session/start', type: 'session', token: await token(backend, overrides) });
      const [read] = await readUntil(client, (m) => m.type === 'session' || m.type === 'error');
      return read;
    } finally {
      await client.close();
    }
  };
  const initialising = [
    { type: 'message', message: 'Inicializando TEF...', options: [], can_cancel: false },
    { type: 'message', message: '', options: [], can_cancel: false },
  ];

  test('the first start initialises, the same again does not, another store code does', limit, async () => {
    assert.deepEqual((await start({})).slice(0, 2), initialising);
    assert.equal((await start({})).length, 1);
    assert.deepEqual((await start({ store_code: '00000002' })).slice(0, 2), initialising);
    const log = service.logText();
    assert.match(log, /Inicializando CliSiTef\.\.\.[\s\S]*CliSiTef inicializado\./);
  });

  test('a TLS start writes CONFITLS.INI and moves the control folder; a plain start deletes it', limit, async () => {
    const control = path.join(controlRoot(service), 'NaoExcluirControleCliSiTef');
    fs.mkdirSync(control, { recursive: true });
    const tls = { connection_type: 'TLS', store_cnpj: '12.345.678/0001-90', tef_cnpj: '98765432000110', registration_token: 'TOKEN-E2E' };
    const read = await start(tls);
    assert.equal(read.at(-1).status, 'created', JSON.stringify(read));
    const ini = fs.readFileSync(path.join(service.dir, 'dll', 'CONFITLS.INI'), 'utf8');
    assert.match(ini, /TipoComunicacaoExterna=TLSGWP/);
    assert.match(ini, /TokenRegistro=TOKEN-E2E/);
    const moved = fs.readdirSync(controlRoot(service)).filter((n) => /^NaoExcluirControleCliSiTef-\d{14}$/.test(n));
    assert.equal(moved.length, 1);
    assert.match(service.logText(), /Alterou Token de Registro SiTef de "" para "TOKEN-E2E"/);

    await start({});
    assert.equal(fs.existsSync(path.join(service.dir, 'dll', 'CONFITLS.INI')), false);
  });
});

describe('the back-end certificate', () => {
  test('a self-signed back-end is refused and the payment undone, unless callback_verify_tls=0', limit, async () => {
    for (const verify of [1, 0]) {
      const { service, backend: trusted } = await startPaymentService({ extraIni: { callback_verify_tls: verify } });
      await trusted.close();
      const backend = await startSalesBackend(selfSignedCertificate());
      try {
        const takePayment = readmeTakePayment(service.caCert);
        const mark = journalMark(service);
        const result = await takePayment(`wss://127.0.0.1:${service.port}`, await token(backend), sale, scriptedOperator());
        if (verify) {
          assert.equal(result.status, 'canceled', JSON.stringify(result));
          assert.equal(backend.requests.length, 0);
          assert.match(service.logText(), /certificado do servidor de vendas foi recusado[\s\S]*callback_verify_tls=0/);
          assert.deepEqual(finalisations(service, mark), undone);
        } else {
          assert.equal(result.status, 'approved', JSON.stringify(result));
          assert.equal(backend.requests.length, 1);
          assert.deepEqual(finalisations(service, mark), confirmed);
        }
      } finally {
        await backend.close();
        await service.dispose();
      }
    }
  });

  test('a back-end certified by an intermediate CA is trusted once that CA is added to ca_cert.pem', limit, async () => {
    const { service, backend: unused } = await startPaymentService();
    await unused.close();
    const chained = intermediateIssuedCertificate();
    const backend = await startSalesBackend(chained);
    try {
      const takePayment = readmeTakePayment(service.caCert);
      const mark = journalMark(service);
      const refused = await takePayment(`wss://127.0.0.1:${service.port}`, await token(backend), sale, scriptedOperator());
      assert.equal(refused.status, 'canceled', JSON.stringify(refused));
      assert.equal(backend.requests.length, 0);
      // The file is read again once it changes; the intermediate alone is enough, without
      // the root above it.
      fs.appendFileSync(path.join(service.dir, 'Certificado', 'ca_cert.pem'), chained.intermediate);
      const accepted = await takePayment(`wss://127.0.0.1:${service.port}`, await token(backend), sale, scriptedOperator());
      assert.equal(accepted.status, 'approved', JSON.stringify(accepted));
      assert.equal(backend.requests.length, 1);
      assert.deepEqual(finalisations(service, mark), [...undone, ...confirmed]);
    } finally {
      await backend.close();
      await service.dispose();
    }
  });
});

describe('a client that does not answer', () => {
  // The two-minute answer wait, shortened for this service only.
  let service, backend;
  before(async () => {
    ({ service, backend } = await startPaymentService({ env: { NORVANE_TEST_ANSWER_TIMEOUT_MS: '1500' } }));
  });
  after(async () => { await backend?.close(); await service?.dispose(); });

  test('a menu left unanswered cancels the payment and is logged', limit, async () => {
    const { client, session } = await sessionClient(service, backend);
    const mark = journalMark(service);
    try {
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, operation: 0 });
      await readUntil(client, (m) => m.type === 'menu');
      const [read, result] = await readUntil(client, (m) => m.type === 'result');
      const { idempotency_key: key, ...rest } = result;
      assert.deepEqual(rest, { type: 'result', status: 'canceled', message: 'Transação TEF não realizada.' }, JSON.stringify(read));
      assert.equal(typeof key, 'string');
      assert.match(service.logText(), /GetClientResponse: timeout aguardando resposta do cliente\./);
      assert.deepEqual(finalisations(service, mark), []);  // nothing approved, nothing settled
    } finally {
      await client.close();
    }
  });
});

describe('a service folder a demo sale has been taken in', () => {
  // What the README's demo leaves in the service folder: the stand-in's journal with a sale
  // confirmed, a sale it still holds pending, a backup of an approved payment, and settings
  // changed by hand. A test's service starts without any of it.
  let used;
  before(() => {
    used = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-demo-used-'));
    fs.cpSync(serviceDir, used, { recursive: true });
    fs.writeFileSync(path.join(used, 'dll', 'CliSiTef.journal'),
      'FinalizaFuncaoSiTefInterativo(confirma=1 cupom="1" data="20261210" hora="120000" resultado=0 transacao="confirmada")\n');
    fs.writeFileSync(path.join(used, 'dll', 'CliSiTef.pendentes'), '2\t1050\t20261210\t120001\n');
    fs.mkdirSync(path.join(used, 'TEF'), { recursive: true });
    fs.writeFileSync(path.join(used, 'TEF', 'RiZedIzAde_CliSiTef_001.tef'), '000-000 = CRT\r\n012-000 = 000002\r\n');
    fs.appendFileSync(path.join(used, 'dll', 'CliSiTef.ini'), 'Scenario=declined\r\n');
  });
  after(() => fs.rmSync(used, { recursive: true, force: true }));

  test('a payment reads only what its own run wrote', limit, async () => {
    const clisitefRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-clisitef-'));
    const service = await startService({ from: used, extraIni: { pdv_number: 1 }, env: { NORVANE_CLISITEF_ROOT: clisitefRoot } });
    const backend = await startSalesBackend(trustedCertificate(service.dir));
    try {
      for (const left of ['dll/CliSiTef.journal', 'dll/CliSiTef.pendentes', 'TEF/RiZedIzAde_CliSiTef_001.tef'])
        assert.equal(fs.existsSync(path.join(service.dir, left)), false, left);
      assert.doesNotMatch(fs.readFileSync(path.join(service.dir, 'dll', 'CliSiTef.ini'), 'utf8'), /^Scenario=declined/m);
      const { client, session } = await sessionClient(service, backend);
      try {
        client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale });
        const result = await answerDialogue(client);
        assert.equal(result?.status, 'approved', JSON.stringify(result));
        assert.deepEqual(finalisations(service, 0), confirmed);
      } finally {
        await client.close();
      }
    } finally {
      await backend.close();
      await service.dispose();
      fs.rmSync(clisitefRoot, { recursive: true, force: true });
    }
  });
});
