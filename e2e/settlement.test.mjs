// Every approved payment settles once, by the back-end's answer, through a crash: the service
// is killed (SIGKILL) at each point of a payment's settlement, restarted, and the stand-in
// library's journal must hold exactly the finalisations the back-end's answers call for.
// The points inside the service are held with NORVANE_TEST_HOLD_AT, which logs
// "Ponto de teste alcançado: <point>" and waits there to be killed.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { restartService } from './lib/service.mjs';
import {
  answerDialogue, finalisations, journal, readUntil, readmeTakePayment, scriptedOperator, sessionClient, setStandIn,
  startPaymentService, token,
} from './lib/payment-helpers.mjs';

const limit = { timeout: 60000 };
const sale = { operation: 3, payer_name: 'Ana Lúcia', transaction_value: 10.5, number_of_installments: 0 };
const accept = { status: 201, body: { data: 1234 } };
const refuse = { status: 500, body: 'falhou' };
const silent = { hang: true };
const confirmed = 'confirma=1 transacao="confirmada"';
const undone = 'confirma=0 transacao="desfeita"';

function backups(service) {
  const folder = path.join(service.dir, 'TEF');
  return fs.existsSync(folder) ? fs.readdirSync(folder).filter((n) => n.endsWith('.tef')) : [];
}

// The log line of a left payment's outcome at a restart: settled, or still without an answer.
const settledOrPending = /Pagamento pendente \(documento \d+, NSU \d+\) (confirmado|desfeito|informado de novo ao servidor de vendas, sem resposta)/;

// How the payment of a key stands, asked on a new session as a reconnecting page asks.
async function statusByKey(service, backend, key) {
  const { client, session } = await sessionClient(service, backend);
  try {
    client.send({ route: '/transaction/status', type: 'status', session_uuid: session, idempotency_key: key });
    const [, status] = await readUntil(client, (m) => m.type === 'transaction_status');
    return status;
  } finally {
    await client.close();
  }
}

// Starts a payment and kills the service once it stands at the row's point.
async function killAt(row) {
  const env = row.point === 'during' ? {} : { NORVANE_TEST_HOLD_AT: row.point };
  const { service, backend } = await startPaymentService({ env });
  backend.answer = row.first;
  const takePayment = readmeTakePayment(service.caCert);
  const payment = takePayment(`wss://127.0.0.1:${service.port}`,
    await token(backend), { ...sale, idempotency_key: row.key }, scriptedOperator()).catch((error) => error);
  if (row.point === 'during') await backend.request(1);
  else await service.waitForLog(`Ponto de teste alcançado: ${row.point}`, 20000);
  service.signal('SIGKILL');
  assert.equal((await service.exited).signal, 'SIGKILL');
  await payment;
  return { service, backend };
}

// The restarted service, its first session start, and a request after it: the client sees
// its session reply and that request's reply, nothing of the old payment.
async function restartAndStartASession(service, backend) {
  const restarted = await restartService(service, {
    NORVANE_TEST_CALLBACK_TIMEOUT_MS: '2000', NORVANE_CLISITEF_ROOT: service.clisitefRoot,
  });
  const { client } = await sessionClient(restarted, backend);
  try {
    client.send({ route: '/version', type: 'version', category: 'service_exe' });
    const [read] = await readUntil(client, (m) => m.type === 'version');
    assert.deepEqual(read.map((m) => m.type), ['version']);
  } finally {
    await client.close();
  }
  return restarted;
}

describe('a payment killed at each point of its settlement is settled once by the next start', () => {
  const rows = [
    // Killed with the report written into the backup, before it was sent.
    { point: 'antes-do-relatorio', first: accept, restart: accept, finals: [confirmed], reports: 1, told: 'approved' },
    { point: 'antes-do-relatorio', first: accept, restart: refuse, finals: [undone], reports: 1, told: 'canceled' },
    { point: 'antes-do-relatorio', first: accept, restart: silent, finals: [], reports: 1, kept: true, told: 'pending' },
    // Killed while the back-end held its answer: the report is sent again, same body.
    { point: 'during', first: silent, restart: accept, finals: [confirmed], reports: 2, told: 'approved' },
    { point: 'during', first: silent, restart: refuse, finals: [undone], reports: 2, told: 'canceled' },
    { point: 'during', first: silent, restart: silent, finals: [], reports: 2, kept: true, told: 'pending' },
    // Killed after the back-end's answer, before the library heard it: the answer settles it,
    // with no second report (the back-end's answer at the restart would be the opposite).
    { point: 'depois-da-resposta', first: accept, restart: refuse, finals: [confirmed], reports: 1, told: 'approved' },
    { point: 'depois-da-resposta', first: refuse, restart: accept, finals: [undone], reports: 1, told: 'canceled' },
    // Killed after the library's finalisation, before the backup was removed: the second
    // finalisation finds the sale settled and changes nothing.
    { point: 'depois-da-finalizacao', first: accept, restart: refuse,
      finals: [confirmed, 'confirma=1 transacao="ja confirmada"'], reports: 1, told: 'approved' },
    { point: 'depois-da-finalizacao', first: refuse, restart: accept,
      finals: [undone, 'confirma=0 transacao="ja desfeita"'], reports: 1, told: 'canceled' },
  ].map((row, i) => ({ ...row, key: `pagamento-${i}` }));
  const answerName = (a) => (a.hang ? 'nothing' : String(a.status));
  for (const row of rows) {
    test(`killed at ${row.point} (back-end answered ${answerName(row.first)}), restarted against ${answerName(row.restart)}`,
      limit, async () => {
        const { service, backend } = await killAt(row);
        let restarted = service;
        try {
          assert.equal(backups(service).length, 1);
          const before = finalisations(service);
          backend.answer = row.restart;
          restarted = await restartAndStartASession(service, backend);
          await restarted.waitForLog(settledOrPending, 20000);

          assert.deepEqual(finalisations(restarted), row.finals, journal(restarted));
          assert.ok(row.finals.slice(0, before.length).every((f, i) => f === before[i]), before.join('; '));
          assert.equal(backups(restarted).length, row.kept ? 1 : 0);
          assert.equal(backend.requests.length, row.reports);
          const bodies = backend.requests.map((r) => r.body);
          assert.ok(bodies.every((b) => b === bodies[0]), 'a report sent again carries the same body');
          const element = JSON.parse(bodies[0]).transaction_data[0];
          assert.equal(element.sale_id, 42);
          assert.match(element.nsu_code, /^\d+$/);
          assert.match(restarted.logText(), /Pagamento pendente \(documento \d+, NSU \d+\) /);
          // A page that reconnects is told its own payment's outcome by its key, and the
          // same request sent again charges nothing.
          const status = await statusByKey(restarted, backend, row.key);
          assert.equal(status.idempotency_key, row.key);
          const outcome = status.status === 'pending' ? 'pending' : status.result?.status;
          assert.equal(outcome, row.told, JSON.stringify(status));
          const finalsBefore = finalisations(restarted).length;
          const { client, session } = await sessionClient(restarted, backend);
          try {
            client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale,
              idempotency_key: row.key });
            const [, again] = await readUntil(client, (m) => m.type === 'result' || m.type === 'transaction_status');
            assert.equal(again.idempotency_key, row.key);
          } finally {
            await client.close();
          }
          assert.equal(journal(restarted).split('\n').filter((l) => l.includes('IniciaFuncaoSiTefInterativo')).length, 1,
            'a repeated key starts no payment');
          assert.equal(finalisations(restarted).length, finalsBefore);
        } finally {
          await backend.close();
          await restarted.dispose();
          fs.rmSync(service.clisitefRoot, { recursive: true, force: true });
        }
      });
  }
});

describe('a stop during a payment', () => {
  test('SIGTERM while the back-end holds the report: the payment is settled by its answer before the exit', limit, async () => {
    const { service, backend } = await startPaymentService({ env: { NORVANE_TEST_CALLBACK_TIMEOUT_MS: '30000' } });
    try {
      backend.answer = silent;
      const takePayment = readmeTakePayment(service.caCert);
      const payment = takePayment(`wss://127.0.0.1:${service.port}`, await token(backend), sale, scriptedOperator())
        .catch((error) => error);
      await backend.request(1);
      service.signal('SIGTERM');
      await service.waitForLog('Parada pedida durante uma operação TEF');
      backend.release(accept);
      assert.deepEqual(await service.exited, { code: 0, signal: null });
      await payment;
      assert.deepEqual(finalisations(service), [confirmed], journal(service));
      assert.deepEqual(backups(service), []);
      assert.match(service.logText(), /O serviço foi parado\./);
    } finally {
      await backend.close();
      await service.dispose();
    }
  });
});

describe('a backup folder that cannot be written', () => {
  test('an approved sale is still reported and settled by the answer; the failure is logged once', limit, async () => {
    const { service, backend } = await startPaymentService();
    const folder = path.join(service.dir, 'TEF');
    fs.mkdirSync(folder, { recursive: true });
    // Immutable: not even root (which these tests run as) can create a file in it.
    execFileSync('chattr', ['+i', folder]);
    try {
      const takePayment = readmeTakePayment(service.caCert);
      const result = await takePayment(`wss://127.0.0.1:${service.port}`, await token(backend), sale, scriptedOperator());
      assert.equal(result.status, 'approved', JSON.stringify(result));
      assert.equal(result.transaction_data[0].payment_id, 1234);
      assert.equal(backend.requests.length, 1);
      assert.deepEqual(finalisations(service), [confirmed], journal(service));
      const failures = service.logText().split('\n').filter((l) => l.includes('Não foi possível gravar o backup do pagamento aprovado'));
      assert.equal(failures.length, 1, service.logText());
      assert.match(failures[0], /Libere espaço em disco e dê ao serviço permissão de gravação/);
    } finally {
      execFileSync('chattr', ['-i', folder]);
      await backend.close();
      await service.dispose();
    }
  });
});

describe('a large answer of the back-end', () => {
  test('a 201 whose body is over 1 MiB accepts the payment: confirmed, payment_id 0, said in the log', limit, async () => {
    const { service, backend } = await startPaymentService();
    try {
      backend.answer = { status: 201, body: { data: 1234, filler: 'x'.repeat(2 * 1024 * 1024) } };
      const takePayment = readmeTakePayment(service.caCert);
      const result = await takePayment(`wss://127.0.0.1:${service.port}`, await token(backend), sale, scriptedOperator());
      assert.equal(result.status, 'approved', JSON.stringify(result).slice(0, 500));
      assert.equal(result.transaction_data[0].payment_id, 0);
      assert.deepEqual(finalisations(service), [confirmed], journal(service));
      assert.match(service.logText(), /Resposta da API aceita com corpo maior que 1048576 bytes, não lido; id de pagamento 0\./);
    } finally {
      await backend.close();
      await service.dispose();
    }
  });
});

describe('a late cancellation', () => {
  // Credit in 3 installments. A cancel sent while the card is awaited stops the payment; one
  // sent at "Confirma 3 parcelas…" (the card already read) comes too late: the client was
  // told so before that question, the cancel is logged and dropped, and the payment is
  // reported and settled once, by the back-end's answer.
  const rows = [
    // The card never comes ("abort"): the cancel is read while the wait lasts, however late.
    { what: 'while the card is awaited', standIn: { Scenario: 'abort' }, at: (m) => m.type === 'can_cancel' && m.can_cancel,
      status: 'canceled', reports: 0, settled: [] },
    { what: 'at "Confirma 3 parcelas…", after the card is read', standIn: {},
      at: (m) => m.type === 'question' && /^Confirma 3 parcelas/.test(m.message),
      status: 'approved', reports: 1, settled: [confirmed] },
  ];
  for (const row of rows) {
    test(`a cancel sent ${row.what}: ${row.status}, settled ${JSON.stringify(row.settled)}`, limit, async () => {
      const { service, backend } = await startPaymentService();
      const { client, session } = await sessionClient(service, backend);
      try {
        setStandIn(service, row.standIn);
        backend.answer = accept;
        client.send({ route: '/transaction', session_uuid: session, type: 'transaction', operation: 3, payer_name: 'Ana',
          transaction_value: '10,50', sale_id: 42, number_of_installments: 3 });
        const seen = [];
        let cancelled = false;
        const result = await answerDialogue(client, (m) => {
          seen.push(m);
          if (!cancelled && row.at(m)) {
            cancelled = true;
            client.send({ route: '/transaction/cancel', session_uuid: session, type: 'cancellation' });
          }
        });
        assert.ok(result, `no result; seen: ${JSON.stringify(seen)}`);
        assert.ok(cancelled, JSON.stringify(seen));
        assert.equal(result.status, row.status, JSON.stringify(result));
        assert.equal(seen.filter((m) => m.type === 'result').length, 1);
        assert.equal(backend.requests.length, row.reports);
        assert.deepEqual(finalisations(service), row.settled, journal(service));
        // Cancelling opened once, at the card's wait, and closed before anything else came.
        const flags = seen.map((m, i) => ({ m, i })).filter(({ m }) => m.type === 'can_cancel');
        assert.deepEqual(flags.map(({ m }) => m.can_cancel), [true, false], JSON.stringify(seen));
        const between = seen.slice(flags[0].i + 1, flags[1].i).filter((m) => m.type !== 'error');
        assert.deepEqual(between, [], JSON.stringify(seen));
        if (row.status === 'approved') {
          assert.match(service.logText(), /Entrou no cancelamento\.[\s\S]*?Não pode cancelar/);
          assert.ok(!seen.some((m) => m.type === 'question' && /Deseja realmente cancelar/.test(m.message)), JSON.stringify(seen));
        }
        // A cancel after the end is logged and ignored: the next reply is the barrier's.
        const refusals = () => service.logText().split('Não pode cancelar').length;
        const before = refusals();
        client.send({ route: '/transaction/cancel', session_uuid: session, type: 'cancellation' });
        client.send({ route: '/version', type: 'version', category: 'service_exe' });
        const [read] = await readUntil(client, (m) => m.type === 'version');
        assert.deepEqual(read.map((m) => m.type), ['version']);
        assert.equal(refusals(), before + 1);
        assert.deepEqual(finalisations(service), row.settled, journal(service));
      } finally {
        await client.close();
        await backend.close();
        await service.dispose();
      }
    });
  }
});
