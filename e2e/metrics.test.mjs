// The numbers a chain of stores watches: the metrics file the service writes for
// node_exporter's textfile collector, after a sale, a decline and a report the back-end
// refuses, read back by a Prometheus text-format parser (Debian's python3-prometheus-client).
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { answerDialogue, sessionClient, setStandIn, startPaymentService } from './lib/payment-helpers.mjs';

const limit = { timeout: 90000 };
const sale = { operation: 3, payer_name: 'Ana', transaction_value: 10.5, number_of_installments: 0 };

// The file as the parser reads it: every sample with its family's type.
function parseMetrics(text) {
  const script = `
import json, sys
from prometheus_client.parser import text_string_to_metric_families
out = []
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        out.append({"family": family.name, "type": family.type, "name": s.name, "labels": s.labels, "value": s.value})
print(json.dumps(out))`;
  const run = spawnSync('/usr/bin/python3', ['-c', script], { input: text, encoding: 'utf8' });
  if (run.status !== 0) throw new Error(`the Prometheus parser refused the file: ${run.stderr}\n${text}`);
  return JSON.parse(run.stdout);
}

function value(samples, name, labels = {}) {
  const found = samples.filter((s) => s.name === name &&
    Object.entries(labels).every(([k, v]) => s.labels[k] === v));
  assert.equal(found.length, 1, `${name} ${JSON.stringify(labels)}: ${JSON.stringify(found)}`);
  return found[0].value;
}

// Resolves with the parsed file once `done(samples)` holds; the folder is watched, so each
// rename of a new file over the old one is seen.
function waitForMetrics(folder, done, timeoutMs = 20000) {
  const file = path.join(folder, 'norvane_tef.prom');
  return new Promise((resolve, reject) => {
    let last = '';
    const look = () => {
      if (!fs.existsSync(file)) return;
      const text = fs.readFileSync(file, 'utf8');
      if (text === last) return;
      last = text;
      const samples = parseMetrics(text);
      if (done(samples)) { finish(); resolve(samples); }
    };
    const watcher = fs.watch(folder, look);
    const timer = setTimeout(() => { finish(); reject(new Error(`the metrics never showed it:\n${last}`)); }, timeoutMs);
    const finish = () => { clearTimeout(timer); watcher.close(); };
    try { look(); } catch (error) { finish(); reject(error); }
  });
}

describe('the metrics file', () => {
  let service, backend, folder;
  before(async () => {
    folder = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-metrics-'));
    ({ service, backend } = await startPaymentService({ extraIni: { metrics_folder: folder } }));
  });
  after(async () => {
    await backend?.close();
    await service?.dispose();
    fs.rmSync(folder, { recursive: true, force: true });
  });

  test('counts a sale, a decline and a payment undone by the back-end, in Prometheus text format', limit, async () => {
    const started = Date.now() / 1000;
    const { client, session } = await sessionClient(service, backend);
    const pay = async () => {
      client.send({ route: '/transaction', type: 'transaction', session_uuid: session, ...sale });
      return answerDialogue(client);
    };
    try {
      setStandIn(service);
      assert.equal((await pay()).status, 'approved');
      setStandIn(service, { Scenario: 'declined' });
      assert.equal((await pay()).status, 'unauthorized');
      setStandIn(service);
      backend.answer = { status: 500, body: { message: 'venda fechada' } };
      assert.equal((await pay()).status, 'canceled');

      const operations = (outcome) => ({ operation: 'sale', outcome });
      const samples = await waitForMetrics(folder, (s) =>
        s.some((x) => x.name === 'norvane_tef_operations_total' && x.labels.outcome === 'undone_by_backend' &&
                      x.labels.operation === 'sale' && x.value === 1));
      assert.equal(value(samples, 'norvane_tef_operations_total', operations('approved')), 1);
      assert.equal(value(samples, 'norvane_tef_operations_total', operations('declined')), 1);
      assert.equal(value(samples, 'norvane_tef_operations_total', operations('canceled')), 0);
      assert.equal(value(samples, 'norvane_tef_operations_total', { operation: 'reprint', outcome: 'approved' }), 0);
      assert.equal(value(samples, 'norvane_tef_reports_total', { answer: 'accepted' }), 1);
      assert.equal(value(samples, 'norvane_tef_reports_total', { answer: 'refused' }), 1);
      assert.equal(value(samples, 'norvane_tef_reports_total', { answer: 'no_answer' }), 0);
      assert.equal(value(samples, 'norvane_tef_unsettled_payments'), 0);
      assert.equal(value(samples, 'norvane_tef_clients_connected'), 1);
      assert.equal(value(samples, 'norvane_tef_clisitef_library_info', { kind: 'stand-in' }), 1);
      assert.match(samples.find((s) => s.name === 'norvane_tef_build_info').labels.version, /^\d+\.\d+\.\d+\.\d+$/);
      const last = value(samples, 'norvane_tef_last_payment_timestamp_seconds');
      assert.ok(last >= started - 1 && last <= Date.now() / 1000 + 1, `last payment at ${last}`);
      assert.ok(value(samples, 'norvane_tef_start_time_seconds') <= started + 1);
      const types = Object.fromEntries(samples.map((s) => [s.name, s.type]));
      assert.equal(types.norvane_tef_operations_total, 'counter');
      assert.equal(types.norvane_tef_unsettled_payments, 'gauge');
      // The collector runs as a user of its own.
      assert.equal(fs.statSync(path.join(folder, 'norvane_tef.prom')).mode & 0o777, 0o644);
    } finally {
      await client.close();
    }
  });
});
