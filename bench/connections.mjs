// Connection costs of the service, each beside a peer measured in the same run:
//  - "/session/start" round trip over wss on one connection, against Node's `ws` TLS echo
//    server (same certificate, same client) echoing the same text in a process of its own,
//    as the service is (ws_peer.mjs); beside it a message the router refuses at once (a
//    route it does not know, answered on the connection's thread as a session start is),
//    the service's transport alone, and the same echo server inside the client's own
//    process, where a round trip never leaves one thread;
//  - a new connection (TLS, upgrade, "/session/start"), against a bare TLS 1.2 handshake
//    with the service, with the ws client and with the bare handshake's own TLS client;
//  - the share of real clients served while another process floods the port with plain
//    TCP connects that never start TLS;
//  - peak resident memory for the largest message accepted, against the message's size.
//   NORVANE_SERVICE_DIR=build/service node bench/connections.mjs [rounds] [parts]
// `parts` picks some of the measurements (comma-separated: roundtrip, connect, flood, memory);
// all four by default.
import { fork } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import tls from 'node:tls';
import { performance } from 'node:perf_hooks';
import { WebSocketServer } from '../e2e/node_modules/ws/wrapper.mjs';
import { spawnOwned } from '../e2e/lib/children.mjs';
import { startService } from '../e2e/lib/service.mjs';
import { connectClient, mintSessionToken, sessionClaims } from '../e2e/lib/session-helpers.mjs';

const rounds = Number(process.argv[2] ?? 1000);
const parts = new Set((process.argv[3] ?? 'roundtrip,connect,flood,memory').split(','));
const MiB = 1024 * 1024;

if (process.argv[2] === '--flood') {
  // Child process: plain TCP connects, each closed after a second, for the given time.
  const { default: net } = await import('node:net');
  const port = Number(process.argv[3]);
  const until = Date.now() + Number(process.argv[4]);
  let open = 0;
  let made = 0;
  const more = () => {
    while (open < 2000 && Date.now() < until) {
      const s = net.connect({ host: '127.0.0.1', port });
      ++open;
      ++made;
      s.on('error', () => {});
      s.on('close', () => { --open; });
      setTimeout(() => s.destroy(), 1000);
    }
    if (Date.now() < until) setTimeout(more, 1);
    else setTimeout(() => { process.send({ made }); process.exit(0); }, 1100);
  };
  more();
} else {
  await main();
}

function stats(times) {
  times.sort((a, b) => a - b);
  return { median: times[Math.floor(times.length / 2)], p99: times[Math.floor(times.length * 0.99)] };
}

// Each round waits for the answer to its own message. Progress notices (the library's
// "Inicializando TEF..." on the first start) are read and dropped, so a notice left in the
// queue never stands in for a later answer: that would time several messages in flight.
async function roundTrips(client, text, n, isAnswer = () => true) {
  const times = [];
  for (let i = 0; i < n; ++i) {
    const t0 = performance.now();
    client.send(text);
    for (;;) {
      const reply = await client.next();
      if (reply === null) throw new Error('no reply');
      if (isAnswer(reply)) break;
    }
    times.push(performance.now() - t0);
  }
  return stats(times);
}

function notNotice(reply) {
  return !reply.startsWith('{"type":"message"');
}

function tlsHandshake(port) {
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host: '127.0.0.1', port, rejectUnauthorized: false,
                                 minVersion: 'TLSv1.2', maxVersion: 'TLSv1.2' });
    socket.once('secureConnect', () => { socket.destroy(); resolve(); });
    socket.once('error', reject);
  });
}

// The same TLS client as tlsHandshake, then the upgrade request and one masked text frame;
// resolves on the first frame back. Beside tlsHandshake it measures what the service adds to
// a handshake, without the ws library's own costs on the client side.
function rawSession(port, text) {
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host: '127.0.0.1', port, rejectUnauthorized: false,
                                 minVersion: 'TLSv1.2', maxVersion: 'TLSv1.2' });
    let upgraded = false;
    let received = Buffer.alloc(0);
    socket.once('secureConnect', () => {
      socket.write('GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
                   `Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\n\r\n`);
    });
    socket.on('data', (data) => {
      received = Buffer.concat([received, data]);
      if (!upgraded) {
        const end = received.indexOf('\r\n\r\n');
        if (end < 0) return;
        if (!received.subarray(0, end).toString('latin1').includes(' 101 ')) {
          socket.destroy();
          reject(new Error('upgrade refused'));
          return;
        }
        upgraded = true;
        received = received.subarray(end + 4);
        const payload = Buffer.from(text);
        const mask = crypto.randomBytes(4);
        for (let i = 0; i < payload.length; ++i) payload[i] ^= mask[i & 3];
        const length = payload.length < 126 ? Buffer.from([0x80 | payload.length])
          : Buffer.from([0x80 | 126, payload.length >> 8, payload.length & 0xFF]);
        socket.write(Buffer.concat([Buffer.from([0x81]), length, mask, payload]));
      }
      if (!upgraded || received.length < 4) return;
      const length7 = received[1] & 0x7F;
      const header = length7 === 126 ? 4 : 2;
      const length = length7 === 126 ? received.readUInt16BE(2) : length7;
      if (received.length < header + length) return;
      socket.destroy();
      const reply = received.subarray(header, header + length).toString();
      if (reply.includes('"created"')) resolve();
      else reject(new Error(`unexpected reply: ${reply}`));
    });
    socket.once('error', reject);
  });
}

// Connects, sends `start` and waits for a reply that contains `expect`.
async function newConnectionSession(port, start, expect, timeoutMs = 5000) {
  const client = await Promise.race([
    connectClient(port),
    new Promise((_, reject) => setTimeout(() => reject(new Error('connect timed out')), timeoutMs)),
  ]);
  try {
    client.send(start);
    let reply = await client.next(timeoutMs);
    while (reply && !reply.includes(expect) && !notNotice(reply)) reply = await client.next(timeoutMs);
    if (!reply || !reply.includes(expect)) throw new Error(`unexpected reply: ${reply}`);
  } finally {
    client.ws.terminate();
  }
}

function rssPeakKiB(pid) {
  return Number(fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmHWM:\s+(\d+)/)[1]);
}

async function main() {
  const service = await startService();
  const certs = path.join(service.dir, 'Certificado');
  const server = https.createServer({ cert: fs.readFileSync(path.join(certs, 'server_cert.pem')),
                                      key: fs.readFileSync(path.join(certs, 'server_key.pem')),
                                      minVersion: 'TLSv1.2', maxVersion: 'TLSv1.2' });
  const echo = new WebSocketServer({ server });
  echo.on('connection', (ws) => ws.on('message', (data) => ws.send(data.toString())));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const sameProcessEchoPort = server.address().port;
  const peer = fork(new URL('./ws_peer.mjs', import.meta.url), [certs, 'echo']);
  const echoPort = await new Promise((resolve, reject) => {
    peer.once('message', (m) => resolve(Number(String(m).slice('listening '.length))));
    peer.once('exit', () => reject(new Error('the echo peer ended before it listened')));
  });
  try {
    const token = await mintSessionToken(sessionClaims(), 'HS256');
    const start = JSON.stringify({ route: '/session/start', type: 'session', token });
    const client = await connectClient(service.port);
    if (parts.has('roundtrip')) {
      await settleIni(service, client, start);
      await roundTripPart(client, echoPort, sameProcessEchoPort, start);
    }
    if (parts.has('connect')) await newConnectionPart(service.port, echoPort, start);
    if (parts.has('flood')) await floodPart(service.port, start);
    if (parts.has('memory')) await memoryPart(service);
    await client.close();
  } finally {
    peer.disconnect();
    echo.close();
    server.close();
    await service.dispose();
  }
}

// The service reads its INI again on every look while the file's change time is within
// the last seconds (a second change in the same tick of the file system's clock would not
// show), and the bench wrote it a moment ago. A shop's INI was written long before its
// clients come: session starts are timed once it has settled, with warm-up rounds meanwhile.
async function settleIni(service, client, start) {
  const written = fs.statSync(path.join(service.dir, 'SvcNorvaneSiTef.ini')).ctimeMs;
  do await roundTrips(client, start, 50, notNotice);
  while (Date.now() < written + 4000);
}

function µs(ms) {
  return `${(ms * 1000).toFixed(0)} µs`;
}

// 1. Round trip on one connection.
async function roundTripPart(client, echoPort, sameProcessEchoPort, start) {
  const peerClient = await connectClient(echoPort);
  const sameProcessClient = await connectClient(sameProcessEchoPort);
  const refused = JSON.stringify({ route: '/bench/unknown', type: 'session' });
  await roundTrips(client, start, 200, notNotice);
  await roundTrips(peerClient, start, 200);
  await roundTrips(sameProcessClient, start, 200);
  const ours = await roundTrips(client, start, rounds, notNotice);
  const peer = await roundTrips(peerClient, start, rounds);
  const transport = await roundTrips(client, refused, rounds, notNotice);
  const sameProcess = await roundTrips(sameProcessClient, start, rounds);
  console.log(`session start round trip: median ${µs(ours.median)}, p99 ${µs(ours.p99)}`);
  console.log(`ws echo peer:             median ${µs(peer.median)}, p99 ${µs(peer.p99)}`);
  console.log(`refused message:          median ${µs(transport.median)}, p99 ${µs(transport.p99)}`);
  console.log(`ws echo in this process:  median ${µs(sameProcess.median)}, p99 ${µs(sameProcess.p99)}`);
  console.log(`ratio service/ws echo: median ${(ours.median / peer.median).toFixed(2)}, p99 ${(ours.p99 / peer.p99).toFixed(2)}; ` +
              `refused message/ws echo: median ${(transport.median / peer.median).toFixed(2)}; ` +
              `service/echo in this process: median ${(ours.median / sameProcess.median).toFixed(2)}`);
  await Promise.all([peerClient.close(), sameProcessClient.close()]);
}

// 2. A new connection each time. The same steps against the ws echo server show how much of
// the cost beyond the bare handshake is the client's own (its upgrade request, its checks).
async function newConnectionPart(port, echoPort, start) {
  const fresh = [], bare = [], raw = [], peerFresh = [], peerBare = [];
  const timed = async (into, step) => {
    const t0 = performance.now();
    await step();
    into.push(performance.now() - t0);
  };
  await newConnectionSession(port, start, '"created"', 30000);  // the first start initialises TEF
  for (let i = 0; i < Math.min(rounds, 300); ++i) {
    await timed(fresh, () => newConnectionSession(port, start, '"created"'));
    await timed(bare, () => tlsHandshake(port));
    await timed(raw, () => rawSession(port, start));
    await timed(peerFresh, () => newConnectionSession(echoPort, start, start));
    await timed(peerBare, () => tlsHandshake(echoPort));
  }
  const [f, b, r, pf, pb] = [fresh, bare, raw, peerFresh, peerBare].map(stats);
  console.log(`new connection + session start: median ${µs(f.median)}; bare TLS 1.2 handshake: median ${µs(b.median)}`);
  console.log(`ratio new connection/bare TLS: median ${(f.median / b.median).toFixed(2)}`);
  console.log(`same with the bare handshake's client: median ${µs(r.median)}, ratio ${(r.median / b.median).toFixed(2)}`);
  console.log(`ws echo peer: new connection + echo ${µs(pf.median)}; bare TLS ${µs(pb.median)}; ratio ${(pf.median / pb.median).toFixed(2)}`);
}

// 3. Real clients during a connect flood (bounded: 8 s of connects to loopback).
async function floodPart(port, start) {
  const flood = spawnOwned(process.execPath, [new URL(import.meta.url).pathname, '--flood', String(port), '8000'],
    { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  const floodDone = new Promise((resolve) => flood.once('message', resolve));
  await new Promise((resolve) => setTimeout(resolve, 500));
  let served = 0;
  let tried = 0;
  const floodUntil = Date.now() + 6500;
  while (Date.now() < floodUntil) {
    ++tried;
    try {
      await newConnectionSession(port, start, '"created"', 3000);
      ++served;
    } catch {
      // counted as not served
    }
  }
  const { made } = await floodDone;
  console.log(`connect flood: ${made} plain TCP connects in 8 s; real clients served ${served}/${tried} (${(100 * served / tried).toFixed(1)} %)`);
}

// 4. Peak memory for the largest accepted message (a text member just under the bound).
async function memoryPart(service) {
  const last = await connectClient(service.port);
  const before = rssPeakKiB(service.child.pid);
  const big = JSON.stringify({ route: '/nothing', pad: 'x'.repeat(64 * MiB - 64) });
  last.send(big);
  if ((await last.next(60000)) === null) throw new Error('no reply to the large message');
  const peak = rssPeakKiB(service.child.pid);
  console.log(`largest accepted message ${(big.length / MiB).toFixed(1)} MiB: peak resident ${(peak / 1024).toFixed(1)} MiB (before ${(before / 1024).toFixed(1)} MiB), ratio ${(peak * 1024 / big.length).toFixed(2)}`);
  await last.close();
}
