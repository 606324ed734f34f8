// A hostile client's heaviest message: memory stays bounded and goes back, and the service
// still stops at once, without waiting for the rest, while one is half read.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { startService, waitFor } from './lib/service.mjs';
import { connectClient } from './lib/session-helpers.mjs';

const MiB = 1024 * 1024;

function memoryKiB(pid, field) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(new RegExp(`^${field}:\\s+(\\d+) kB`, 'm'))[1]);
}

// 57 MiB of tiny values: the shape that once took gigabytes.
function tinyValues() {
  return '[' + '0,'.repeat(28.5 * MiB) + '0]';
}

test('a large message of tiny values is refused within three times its size, and memory goes back', async () => {
  const service = await startService();
  try {
    const client = await connectClient(service.port);
    const message = tinyValues();
    client.send(message);
    assert.deepEqual(JSON.parse(await client.next(60000)), { type: 'error', message: 'Mensagem inválida.' });
    const peak = memoryKiB(service.child.pid, 'VmHWM') * 1024;
    assert.ok(peak <= 3 * message.length, `peak ${(peak / MiB).toFixed(1)} MiB for a ${(message.length / MiB).toFixed(1)} MiB message`);
    await waitFor(() => memoryKiB(service.child.pid, 'VmRSS') * 1024 < 32 * MiB,
      { timeoutMs: 10000, what: 'resident memory under 32 MiB' });
    client.send('{}');
    assert.deepEqual(JSON.parse(await client.next()), { type: 'error', message: 'Campo route nao encontrado.' });
    await client.close();
  } finally {
    await service.dispose();
  }
});

test('SIGTERM in the middle of a large message ends the service with exit code 0 without the rest of it', async () => {
  const service = await startService();
  try {
    const client = await connectClient(service.port);
    // All of a large message but its last fragment, which is never sent; then a ping. Its
    // pong proves the service has taken in the fragments before it: it is in the middle of
    // the message, waiting for the rest.
    const values = tinyValues();
    await new Promise((resolve, reject) =>
      client.ws.send(values.slice(0, -1), { fin: false }, (error) => (error ? reject(error) : resolve())));
    const ponged = new Promise((resolve) => client.ws.once('pong', resolve));
    client.ws.ping('reading');
    await ponged;
    // The rest never comes: a stop that waited for it would end only when the connection is
    // closed as stalled, which the log would say.
    const { code, signal } = await service.stop();
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
    assert.doesNotMatch(service.logText(), /quadro sem progresso/);
    assert.match(service.logText(), /O serviço foi parado\./);
    client.ws.terminate();
  } finally {
    await service.dispose();
  }
});
