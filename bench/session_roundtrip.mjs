// "/session/start" round trip over wss on loopback against the installed service folder:
// median and 99th percentile, beside a peer measured in the same run, a message that the
// router refuses at once (a "/print" without its data), which is the transport alone.
//   NORVANE_SERVICE_DIR=build/service node bench/session_roundtrip.mjs [rounds]
import { performance } from 'node:perf_hooks';
import { connectClient, mintSessionToken, sessionClaims, startService } from '../e2e/lib/session-helpers.mjs';

const rounds = Number(process.argv[2] ?? 2000);
const service = await startService();
try {
  const client = await connectClient(service.port);
  const token = await mintSessionToken(sessionClaims(), 'HS256');
  const start = JSON.stringify({ route: '/session/start', type: 'session', token });
  const peer = JSON.stringify({ route: '/print', type: 'print' });

  const measure = async (text) => {
    const times = [];
    for (let i = 0; i < rounds; ++i) {
      const t0 = performance.now();
      client.send(text);
      if ((await client.next()) === null) throw new Error('no reply');
      times.push(performance.now() - t0);
    }
    times.sort((a, b) => a - b);
    return { median: times[Math.floor(times.length / 2)], p99: times[Math.floor(times.length * 0.99)] };
  };
  await measure(start);  // warm-up
  const session = await measure(start);
  const transport = await measure(peer);
  const f = (ms) => `${(ms * 1000).toFixed(0)} µs`;
  console.log(`session start: median ${f(session.median)}, p99 ${f(session.p99)}`);
  console.log(`transport peer: median ${f(transport.median)}, p99 ${f(transport.p99)}`);
  console.log(`ratio session/peer: median ${(session.median / transport.median).toFixed(2)}, p99 ${(session.p99 / transport.p99).toFixed(2)}`);
  await client.close();
} finally {
  await service.stop();
}
