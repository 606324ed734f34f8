// "/print" against the installed service folder and a private CUPS scheduler (needs root):
//  1. an 8 MiB PDF over wss, from the request to its file in the queue, against a Node `ws`
//     TLS server doing the same job (parse, base64-decode, write) for the same client, and
//     the same server only receiving the message (Node's transport alone); the service's peak
//     resident memory as a multiple of the document;
//  2. 100 layout receipts through the queue: receipts printed per second, and the round trip
//     of a client's next message while the queue is busy against the same when it is idle.
//   NORVANE_SERVICE_DIR=build/service node bench/print_roundtrip.mjs [rounds] [parts]
// `parts` picks some of the two (comma-separated: pdf, receipts); both by default.
import { fork } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { performance } from 'node:perf_hooks';
import { startCups } from '../e2e/lib/cups.mjs';
import { startService, waitFor } from '../e2e/lib/service.mjs';
import { connectClient } from '../e2e/lib/session-helpers.mjs';

const rounds = Number(process.argv[2] ?? 5);
const parts = new Set((process.argv[3] ?? 'pdf,receipts').split(','));
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const kib = (pid) => Number(/VmHWM:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);

const cups = await startCups();
const service = await startService({ extraIni: { printer: 'Receipt80' }, env: { CUPS_SERVER: cups.server } });
try {
  const client = await connectClient(service.port);
  const queued = () => service.logText().split('Arquivo adicionado na fila').length - 1;
  // The log line is written once the file is whole and queued; its file is watched, not polled.
  const nextQueued = (count) => new Promise((resolve) => {
    const check = () => { if (queued() > count) { watcher.close(); resolve(performance.now()); } };
    const watcher = fs.watch(path.join(service.dir, 'Log'), { recursive: true }, check);
    check();
  });

  // 1. An 8 MiB PDF.
  if (parts.has('pdf')) {
    const pdf = Buffer.concat([Buffer.from('%PDF-1.4\n'), Buffer.alloc(8 * 1024 * 1024 - 9, 0x41)]);
    const data = pdf.toString('base64');
    const message = JSON.stringify({ route: '/print', type: 'print', data, file_type: 'pdf' });
    const rssBefore = kib(service.child.pid);
    const scratch = path.join(os.tmpdir(), `print-peer-${process.pid}.pdf`);
    // A peer runs in its own process, as the service does: its server does not share the
    // client's thread.
    const startPeer = async (mode) => {
      const child = fork(new URL('./ws_peer.mjs', import.meta.url),
                         [path.join(service.dir, 'Certificado'), mode, scratch]);
      const waiters = [];
      let port;
      await new Promise((resolve) => child.on('message', (m) => {
        if (m.startsWith('listening ')) { port = Number(m.slice(10)); resolve(); }
        else waiters.shift()?.(performance.now());
      }));
      const peerClient = await connectClient(port);
      return {
        async time() {
          const t0 = performance.now();
          const done = new Promise((resolve) => waiters.push(resolve));
          peerClient.send(message);
          return (await done) - t0;
        },
        async stop() { await peerClient.close(); child.disconnect(); },
      };
    };
    const peers = { print: await startPeer('print'), transport: await startPeer('transport') };
    const serviceTimes = [];
    const peerTimes = [];
    const transportTimes = [];
    for (let i = 0; i < rounds; ++i) {
      const count = queued();
      const t0 = performance.now();
      client.send(message);
      serviceTimes.push((await nextQueued(count)) - t0);
      peerTimes.push(await peers.print.time());
      transportTimes.push(await peers.transport.time());
    }
    await peers.print.stop();
    await peers.transport.stop();
  fs.rmSync(scratch, { force: true });
  const peak = kib(service.child.pid);
  const s = median(serviceTimes);
  const p = median(peerTimes);
  console.log(`8 MiB PDF to the queue: median ${s.toFixed(1)} ms; Node ws peer (parse, decode, write) ${p.toFixed(1)} ms; ` +
              `ratio ${(s / p).toFixed(2)}; Node's transport alone ${median(transportTimes).toFixed(1)} ms`);
  console.log(`service peak resident memory ${(peak / 1024).toFixed(0)} MiB (${(rssBefore / 1024).toFixed(0)} MiB before): ` +
              `${(peak * 1024 / pdf.length).toFixed(1)} x the document, ${(peak * 1024 / message.length).toFixed(1)} x the message`);
  await waitFor(() => !fs.readdirSync(service.dir).some((n) => n.includes('_Temp.')), { timeoutMs: 120000, what: 'the PDFs printed' });
  }

  // 2. 100 receipts.
  if (parts.has('receipts')) {
    const receipt = Buffer.from(`<receipt><title>CUPOM</title>${'<row><left>Item</left><right>1,00</right></row>'.repeat(20)}` +
                                '<hr/><row bold="yes"><left>TOTAL</left><right>20,00</right></row></receipt>').toString('base64');
    const roundTrip = async () => {
      const t0 = performance.now();
      client.send({});
      if ((await client.next(10000)) === null) throw new Error('no reply');
      return performance.now() - t0;
    };
    const idle = [];
    for (let i = 0; i < 50; ++i) idle.push(await roundTrip());
    const done = () => service.logText().split('[Impressora] Impresso com sucesso').length - 1;
    const doneBefore = done();
    const t0 = performance.now();
    // Each request goes once the one before is queued: the listener closes a client that has
    // more than 16 messages waiting unread.
    for (let i = 0; i < 100; ++i) {
      const count = queued();
      client.send({ route: '/print', type: 'print', data: receipt, file_type: 'gdi' });
      await nextQueued(count);
  }
  const busy = [];
  while (done() < doneBefore + 100) busy.push(await roundTrip());
  const seconds = (performance.now() - t0) / 1000;
  console.log(`100 receipts printed in ${seconds.toFixed(1)} s: ${(100 / seconds).toFixed(2)} receipts/s`);
  console.log(`next message round trip: idle median ${median(idle).toFixed(2)} ms, queue busy median ${median(busy).toFixed(2)} ms ` +
              `(${busy.length} messages), ratio ${(median(busy) / median(idle)).toFixed(2)}`);
  }
  await client.close();
} finally {
  await service.dispose();
  await cups.stop();
}
