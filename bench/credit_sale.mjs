// A whole credit sale over wss, from the "/transaction" request to its `result`, with the
// installed service, the stand-in CliSiTef library and a real HTTPS sales back-end on
// loopback that accepts every report at once. Each sale is split by the clocks of this one
// process (client and back-end share it):
//   before report:  request sent -> the service's TCP connection to the back-end accepted
//                   (the dialogue with the library, its messages, the result built, the
//                   approved payment saved before the back-end is told);
//   report:         that connection -> the report read whole by the back-end (libcurl's
//                   set-up, the TLS handshake with certificate checks, the request); on a
//                   connection kept from the last report, from the request's head on;
//   back-end:       the back-end's own handling, report read -> answer sent (the peer's);
//   after answer:   answer sent -> `result` received (the confirmation in the library, the
//                   saved payment removed, the result sent).
// The service's own work is the whole less the back-end's handling and the fixed waits.
// Fixed waits are measured apart, in the same run: the stand-in's card-reading polls with
// the service's look for a cancellation after each (a second series with the stand-in's
// installed PollCount and PollIntervalMs), and the countdown of a highlighted notice
// ("Destaque a 2ª Via", 3 s), which a credit sale in service mode does not show; the
// countdown messages seen are counted to show it.
// Peer, measured in the same run on the same connection: the "/session/start" round trip.
//
//   NORVANE_SERVICE_DIR=build/service node bench/credit_sale.mjs [sales] [polled sales]
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { performance } from 'node:perf_hooks';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
process.env.NORVANE_SERVICE_DIR ??= path.join(repo, 'build', 'service');
const { setStandIn, startPaymentService, token } = await import('../e2e/lib/payment-helpers.mjs');
const { connectClient } = await import('../e2e/lib/session-helpers.mjs');

const sales = Number(process.argv[2] ?? 200);
const polledSales = Number(process.argv[3] ?? 5);

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}
function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))];
}
const ms = (v) => v.toFixed(2).padStart(8);

// The back-end notes, per report, when its TCP connection came (or, on a connection the
// service kept from an earlier report, when the request's head arrived), when the report was
// read whole and when the answer was written.
function timeBackend(backend) {
  const reports = [];
  // Sales run one after another; a report comes on a new connection or on the kept one.
  let acceptedAt = 0;
  const served = new WeakSet();
  backend.server.prependListener('connection', () => { acceptedAt = performance.now(); });
  const handle = backend.handle.bind(backend);
  backend.handle = (req, res) => {
    const kept = served.has(req.socket);
    served.add(req.socket);
    const report = { connected: kept ? performance.now() : acceptedAt, kept };
    req.on('end', () => { report.read = performance.now(); });
    res.on('finish', () => { report.answered = performance.now(); reports.push(report); });
    handle(req, res);
  };
  return reports;
}

async function sessionStart(client, tokenText) {
  const t0 = performance.now();
  client.send({ route: '/session/start', type: 'session', token: tokenText });
  for (;;) {
    const text = await client.next(15000);
    if (text === null) throw new Error('no session reply');
    const m = JSON.parse(text);
    if (m.type === 'session') return { session: m.session_uuid, ms: performance.now() - t0 };
    if (m.type === 'error') throw new Error(m.message);
  }
}

// One sale; answers any question at once (a credit sale without installments asks none).
async function sale(client, session, reports, saleId) {
  const before = reports.length;
  const t0 = performance.now();
  client.send({ route: '/transaction', type: 'transaction', session_uuid: session, operation: 3,
    payer_name: 'Bench', transaction_value: '10,50', sale_id: saleId });
  let messages = 0;
  let countdown = 0;
  for (;;) {
    const text = await client.next(30000);
    if (text === null) throw new Error(`sale ${saleId}: no result`);
    const m = JSON.parse(text);
    ++messages;
    if (m.type === 'message' && /^Destaque a/.test(m.message)) ++countdown;
    if (m.type === 'menu') client.send({ route: '/transaction', type: 'menu', response: m.options[0], back_menu: false });
    if (m.type === 'question') client.send({ route: '/transaction', type: 'question', response: 'Sim' });
    if (m.type === 'confirmation') client.send({ route: '/transaction', type: 'confirmation' });
    if (m.type === 'result') {
      const t1 = performance.now();
      if (m.status !== 'approved') throw new Error(`sale ${saleId} ended ${m.status}: ${m.message}`);
      if (reports.length !== before + 1) throw new Error(`sale ${saleId}: ${reports.length - before} reports`);
      const r = reports[before];
      return {
        total: t1 - t0,
        beforeReport: r.connected - t0,
        report: r.read - r.connected,
        backend: r.answered - r.read,
        afterAnswer: t1 - r.answered,
        kept: r.kept,
        messages,
        countdown,
      };
    }
  }
}

const { service, backend } = await startPaymentService();
const reports = timeBackend(backend);
const client = await connectClient(service.port);
try {
  const tokenText = await token(backend);
  const starts = [];
  const { session } = await sessionStart(client, tokenText);  // the first start initialises TEF
  const answerAtOnce = { Scenario: 'credit', PollCount: 0, PollIntervalMs: 0 };
  setStandIn(service, answerAtOnce);
  // Warm-up, until the INI files the bench just wrote have settled: both the service and
  // the stand-in read a file changed in the last seconds again at every look (a change in
  // the same tick of the file system's clock would not show), where a shop's were written
  // long before.
  const written = Math.max(...['SvcNorvaneSiTef.ini', 'dll/CliSiTef.ini'].map(
    (name) => fs.statSync(path.join(service.dir, name)).ctimeMs));
  for (let i = 0; i < 5 || Date.now() < written + 4000; ++i) await sale(client, session, reports, 1);

  const rows = [];
  for (let i = 0; i < sales; ++i) {
    rows.push(await sale(client, session, reports, 1000 + i));
    if (i % 10 === 0) starts.push((await sessionStart(client, tokenText)).ms);
    if ((i + 1) % 50 === 0) process.stderr.write(`  ${i + 1}/${sales} sales\n`);
  }
  const polled = [];
  setStandIn(service, { Scenario: 'credit', PollCount: 3, PollIntervalMs: 500 });
  for (let i = 0; i < polledSales; ++i) polled.push((await sale(client, session, reports, 5000 + i)).total);

  const col = (key) => rows.map((r) => r[key]);
  const own = rows.map((r) => r.total - r.backend);
  const peer = median(starts);
  console.log(`credit sale, stand-in answering at once: ${sales} sales, ${median(col('messages'))} messages each`);
  console.log('                       median      p90   (ms)');
  for (const [label, values] of [
    ['whole sale', col('total')],
    ['  before report', col('beforeReport')],
    ['  report (curl+TLS)', col('report')],
    ['  back-end handling', col('backend')],
    ['  after answer', col('afterAnswer')],
    ["service's own work", own],
  ]) console.log(`${label.padEnd(20)} ${ms(median(values))} ${ms(percentile(values, 0.9))}`);
  console.log(`countdown messages seen: ${rows.reduce((n, r) => n + r.countdown, 0)}; ` +
              `reports on a kept connection: ${rows.filter((r) => r.kept).length}/${rows.length}`);
  console.log(`peer: "/session/start" round trip, median ${ms(peer)} ms (${starts.length} starts)`);
  console.log(`service's own work / session start round trip: ${(median(own) / peer).toFixed(2)}`);
  if (polled.length > 0) {
    // Each of the stand-in's three card-reading polls waits 500 ms in the library, then the
    // service looks for a cancellation from the client for up to 100 ms before going on.
    const fixed = 3 * 500 + 3 * 100;
    console.log(`with the stand-in's installed polls (3 x 500 ms): median ${ms(median(polled))} ms over ${polled.length} sales;` +
      ` less the fixed waits (3 x 500 ms polls, 3 x 100 ms cancellation looks): ${ms(median(polled) - fixed)} ms`);
  }
} finally {
  await client.close();
  await backend.close();
  await service.dispose();
}
