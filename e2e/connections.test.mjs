// A hostile client's heaviest message: memory stays bounded and goes back, and the service
// still stops at once while it is being read.
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

test('SIGTERM while a large message is read ends the service within 2 s with exit code 0', async () => {
  const service = await startService();
  try {
    const client = await connectClient(service.port);
    // Once the whole message is in the socket, the service has read all but what the socket
    // buffers hold: it is reading or parsing it.
    await new Promise((resolve, reject) => client.ws.send(tinyValues(), (error) => (error ? reject(error) : resolve())));
    const asked = Date.now();
    const { code } = await service.stop();
    const took = Date.now() - asked;
    assert.equal(code, 0);
    assert.ok(took <= 2000, `stopped after ${took} ms`);
    client.ws.terminate();
  } finally {
    await service.dispose();
  }
});
