// A credit sale killed at every step that changes its files on disk, then restarted against a
// back-end that accepts, refuses or never answers: the stand-in library's journal must hold
// exactly the settlement the back-end's answers call for, once, under the payment's own date
// and document; the back-end gets one report body however often it is sent; and a page that
// reconnects is told the payment's outcome by its key, never charging it again.
//
// The steps are counted by a library preloaded into the service (tests/crash-preload): every
// write, flush, rename and removal of a file under TEF/ or of the stand-in's sale files is
// one step, and NORVANE_CRASH_AT=N kills the service (SIGKILL) just before step N. A whole
// sale is counted first; then each step is a crash point, and each crash point a row for
// each answer of the back-end after the restart.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { restartService, serviceDir } from './lib/service.mjs';
import { answerDialogue, journal, readUntil, sessionClient, startPaymentService } from './lib/payment-helpers.mjs';

const buildDir = process.env.NORVANE_BUILD_DIR ?? path.join(serviceDir, '..');
const preload = path.join(buildDir, 'e2e-support', 'libnorvane-crash.so');

const sale = { operation: 3, payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 };
const accept = { status: 201, body: { data: 1234 } };
const answers = [
  { name: '201', answer: accept },
  { name: '500', answer: { status: 500, body: 'falhou' } },
  { name: 'nothing', answer: { hang: true } },
];
const limit = { timeout: 60000 };
// The outcome a restart logs for a payment it found left: settled, still without an answer,
// or (stopped before its approval was written) undone by its document.
const settledOrPending = new RegExp([
  /Pagamento pendente \(documento \d+, NSU \d+\) (confirmado|desfeito|informado de novo ao servidor de vendas, sem resposta)/,
  /Pagamento interrompido antes da aprovação \(documento \d+\) desfeito/,
].map((r) => r.source).join('|'));

// The journal's lines of one function, each with its quoted and numbered arguments.
function calls(text, name) {
  return text.split('\n').filter((line) => line.includes(` ${name}(`)).map((line) => {
    const values = { line };
    for (const [, key, value] of line.matchAll(/(\w+)=(?:"([^"]*)"|-?\d+)/g)) values[key] = value;
    const number = line.match(/confirma=(-?\d+)/);
    if (number) values.confirma = number[1];
    return values;
  });
}
const starts = (text) => calls(text, 'IniciaFuncaoSiTefInterativo');
// The library's approvals: the function's end with 0 and the sale's NSU.
const approvals = (text) => calls(text, 'ContinuaFuncaoSiTefInterativo').filter((c) => / = 0 nsu="/.test(c.line));
const finalisations = (text) => calls(text, 'FinalizaFuncaoSiTefInterativo');
// What a failure shows of the journal: the function's start, its approval and its finalisations.
const summary = (text) => [...starts(text), ...approvals(text), ...finalisations(text)].map((c) => c.line).join('\n');

function pendingSales(service) {
  const file = path.join(service.dir, 'dll', 'CliSiTef.pendentes');
  return fs.existsSync(file) ? fs.readFileSync(file, 'latin1').split('\n').filter((l) => l.trim() !== '') : [];
}

function backups(service) {
  const folder = path.join(service.dir, 'TEF');
  return fs.existsSync(folder) ? fs.readdirSync(folder).filter((n) => n.endsWith('.tef')) : [];
}

const readSteps = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8').split('\n').filter(Boolean) : []);

// Pays the sale under `key` on a raw client; resolves with its result, or null when the
// connection went first.
async function pay(service, backend, key) {
  const { client, session } = await sessionClient(service, backend);
  try {
    client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale, idempotency_key: key });
    return await answerDialogue(client);
  } finally {
    await client.close();
  }
}

// Asks on a new session, as a reconnecting page does, and returns the first reply matching.
async function ask(service, backend, message, isReply) {
  const { client, session } = await sessionClient(service, backend);
  try {
    client.send({ session_uuid: session, ...message });
    const [, reply] = await readUntil(client, isReply);
    return reply;
  } finally {
    await client.close();
  }
}

// What the answers the back-end gave call for in the library: the last answer the service
// received decides; a payment the back-end never heard of is undone; one reported again with
// no answer stays pending; one never approved has nothing to settle.
function calledFor({ approved, reportsBefore, reportsAfter, restart }) {
  if (!approved) return { outcome: null, status: 'not charged' };
  if (reportsAfter > 0) {
    if (restart.hang) return { outcome: null, status: 'pending' };
    return restart.status === 201 ? { outcome: 'confirmada', status: 'approved' } : { outcome: 'desfeita', status: 'canceled' };
  }
  if (reportsBefore > 0) return { outcome: 'confirmada', status: 'approved' };
  return { outcome: 'desfeita', status: 'canceled' };
}

test('a credit sale killed at each step of its files is settled once, as the back-end answered', async (t) => {
  assert.ok(fs.existsSync(preload), `the crash library is built at ${preload}`);
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-crash-'));
  t.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

  // A whole sale, its steps counted.
  let steps = [];
  await t.test('a whole sale, counted', limit, async () => {
    const stepFile = path.join(scratch, 'whole.steps');
    const { service, backend } = await startPaymentService({
      env: { LD_PRELOAD: preload, NORVANE_CRASH_COUNT_FILE: stepFile },
    });
    try {
      const result = await pay(service, backend, 'inteira');
      assert.equal(result?.status, 'approved', JSON.stringify(result));
      await service.stop();
      steps = readSteps(stepFile);
      const text = journal(service);
      assert.deepEqual(finalisations(text).map((f) => f.transacao), ['confirmada'], summary(text));
      // The steps are numbered in order, and they cover the library's sale files, the
      // payment's backup and the results store; the backup goes last.
      assert.deepEqual(steps.map((s) => Number(s.split(' ')[0])), steps.map((s, i) => i + 1));
      const renamed = steps.filter((s) => / rename /.test(s)).map((s) => s.split(' -> ')[1]);
      for (const file of [/^dll\/CliSiTef\.pendentes$/, /^dll\/CliSiTef\.finalizadas$/, /^TEF\/.*\.tef$/, /^TEF\/results\.json$/])
        assert.ok(renamed.some((r) => file.test(r)), `${file} is written: ${steps.join('; ')}`);
      assert.match(steps.at(-1), /^\d+ unlink TEF\/.*\.tef$/, steps.join('; '));
      assert.equal(backups(service).length, 0);
    } finally {
      await backend.close();
      await service.dispose();
    }
  });
  t.diagnostic(`a whole sale takes ${steps.length} steps: ${steps.join('; ')}`);
  assert.ok(steps.length > 0);

  for (let n = 1; n <= steps.length; n++) {
    for (const { name, answer: restart } of answers) {
      const key = `queda-${n}-${name}`;
      await t.test(`killed before step ${steps[n - 1]}, restarted against ${name}`, limit, async (row) => {
        const stepFile = path.join(scratch, `${key}.steps`);
        const { service, backend } = await startPaymentService({
          env: { LD_PRELOAD: preload, NORVANE_CRASH_AT: String(n), NORVANE_CRASH_COUNT_FILE: stepFile },
        });
        let restarted = service;
        // A row that runs out of time (a crash point never reached) stops its services, whose
        // exits the waits below are then told of.
        row.signal.addEventListener('abort', () => { service.signal('SIGKILL'); restarted.signal('SIGKILL'); });
        try {
          backend.answer = accept;
          const paying = pay(service, backend, key);
          assert.equal((await service.exited).signal, 'SIGKILL');
          await paying;
          // It died where the whole sale had its step n.
          assert.deepEqual(readSteps(stepFile), steps.slice(0, n));

          const before = journal(service);
          const approved = approvals(before).length === 1;
          const reportsBefore = backend.requests.length;
          const left = backups(service).length;
          assert.ok(left <= 1, `one backup at most: ${backups(service)}`);

          backend.answer = restart;
          restarted = await restartService(service, {
            NORVANE_TEST_CALLBACK_TIMEOUT_MS: '2000', NORVANE_CLISITEF_ROOT: service.clisitefRoot,
          });
          // A session start configures the library, which lets the restart settle what was left.
          const { client } = await sessionClient(restarted, backend);
          await client.close();
          if (left > 0) await restarted.waitForLog(settledOrPending, 20000);

          const text = journal(restarted);
          const reportsAfter = backend.requests.length - reportsBefore;
          const expected = calledFor({ approved, reportsBefore, reportsAfter, restart });
          const context = `steps: ${readSteps(stepFile).join('; ')}\nreports ${reportsBefore} + ${reportsAfter}\n${summary(text)}`;

          // The library: one function started at most (none when the service died before it
          // called the library); at most one real settlement, the one called for.
          const [start] = starts(text);
          assert.ok(starts(text).length <= 1, context);
          if (approved) assert.ok(start, context);
          const finals = finalisations(text);
          const real = finals.filter((f) => f.transacao === 'confirmada' || f.transacao === 'desfeita');
          assert.deepEqual(real.map((f) => f.transacao), expected.outcome ? [expected.outcome] : [], context);
          // A settlement repeated is one the library had made before the crash, and the
          // repeat changes nothing.
          const earlier = finalisations(before).filter((f) => f.transacao === 'confirmada' || f.transacao === 'desfeita');
          for (const f of finals.filter((x) => !real.includes(x))) {
            if (!approved) {
              // An undo of what the library might have approved, when it had approved nothing.
              assert.deepEqual([f.confirma, f.transacao], ['0', 'nenhuma transacao pendente'], context);
              continue;
            }
            assert.equal(f.transacao, `ja ${expected.outcome}`, context);
            assert.equal(earlier.length, 1, `a repeat only after the library had settled it: ${context}`);
          }
          // The finalisations name the function the library was given: its date, time and document.
          if (start) for (const f of finals) assert.deepEqual([f.cupom, f.data, f.hora], [start.cupom, start.data, start.hora], context);
          // Nothing stays pending in the library but a payment still waiting for the back-end.
          assert.equal(pendingSales(restarted).length, expected.status === 'pending' ? 1 : 0, context);
          assert.equal(backups(restarted).length, expected.status === 'pending' ? 1 : 0, context);

          // The back-end: nothing before the approval; the same report each time, once when
          // it answered, again at each try while it did not.
          const bodies = backend.requests.map((r) => r.body);
          if (!approved) assert.equal(bodies.length, 0, context);
          assert.ok(reportsBefore <= 1, context);
          if (reportsAfter > 0 && !restart.hang) assert.equal(reportsAfter, 1, context);
          assert.ok(bodies.every((b) => b === bodies[0]), `a report sent again carries the same body: ${context}`);
          for (const body of bodies) {
            const element = JSON.parse(body).transaction_data[0];
            assert.equal(element.sale_id, 42);
            // The sale the library approved: its host NSU (field 134).
            assert.equal(element.nsu_code, text.match(/ campo=134 min=\d+ max=\d+ texto="(\d+)"/)[1]);
          }

          // A page that reconnects is told the payment's outcome by its key.
          const status = await ask(restarted, backend, { route: '/transaction/status', type: 'status', idempotency_key: key },
            (m) => m.type === 'transaction_status');
          assert.equal(status.idempotency_key, key, JSON.stringify(status));
          if (expected.status === 'not charged' && left === 0) {
            // Nothing of it reached the disk: the service never heard of it.
            assert.equal(status.status, 'unknown', `${JSON.stringify(status)}\n${context}`);
          } else if (expected.status === 'not charged') {
            // Its record was on disk: it ended without a charge, and the page is told so.
            assert.equal(status.status, 'finished', `${JSON.stringify(status)}\n${context}`);
            assert.equal(status.result.status, 'canceled', `${JSON.stringify(status)}\n${context}`);
          } else if (expected.status === 'pending') {
            assert.equal(status.status, expected.status, `${JSON.stringify(status)}\n${context}`);
          } else {
            assert.equal(status.status, 'finished', `${JSON.stringify(status)}\n${context}`);
            assert.equal(status.result.status, expected.status, `${JSON.stringify(status)}\n${context}`);
            assert.equal(status.result.idempotency_key, key);
          }

          // The same request sent again under its key: a payment the service holds is told
          // again and charges nothing; one it never heard of is taken now, and charged once.
          backend.answer = accept;
          if (status.status === 'unknown') {
            const again = await pay(restarted, backend, key);
            assert.equal(again?.status, 'approved', JSON.stringify(again));
            const now = journal(restarted);
            assert.equal(starts(now).length, starts(text).length + 1, summary(now));
            assert.equal(approvals(now).length, 1, summary(now));
            assert.deepEqual(finalisations(now).map((f) => f.transacao), ['confirmada'], summary(now));
          } else {
            const again = await ask(restarted, backend,
              { route: '/transaction', type: 'transaction', ...sale, idempotency_key: key },
              (m) => m.type === 'result' || m.type === 'transaction_status' || m.type === 'error');
            assert.equal(again.idempotency_key, key, JSON.stringify(again));
            // Its kept result, or its status while it is pending.
            assert.equal(again.status, status.status === 'finished' ? status.result.status : status.status, JSON.stringify(again));
            const now = journal(restarted);
            assert.equal(starts(now).length, starts(text).length, `a repeated key starts nothing: ${summary(now)}`);
            assert.equal(finalisations(now).length, finals.length, `a repeated key settles nothing: ${summary(now)}`);
          }
        } finally {
          await backend.close();
          await restarted.dispose();
          fs.rmSync(service.clisitefRoot, { recursive: true, force: true });
        }
      });
    }
  }
});
