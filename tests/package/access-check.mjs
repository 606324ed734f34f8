// Run by package-test.sh as root against the installed package: starts the installed service
// as its user on the port the ini names and checks that it serves only the origin and the
// token key given at set-up. Usage: node access-check.mjs FOLDER PORT ORIGIN KEY
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { SHARED_SECRET, connectClient, mintSessionToken, sessionClaims } from '../../e2e/lib/session-helpers.mjs';

const WebSocket = createRequire(new URL('../../e2e/package.json', import.meta.url))('ws');
const [folder, port, origin, key] = process.argv.slice(2);
const id = (flag) => Number(execFileSync('id', [flag, 'norvane'], { encoding: 'utf8' }));

// The status of the upgrade answer for a page of this origin (101 when it is let in).
function upgradeStatus(pageOrigin) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`wss://127.0.0.1:${port}`, { rejectUnauthorized: false, origin: pageOrigin });
    ws.once('open', () => { ws.close(); resolve(101); });
    ws.once('unexpected-response', (request, response) => { resolve(response.statusCode); request.destroy(); });
    ws.once('error', reject);
  });
}

async function sessionReply(secret) {
  const client = await connectClient(Number(port));
  try {
    client.send({ route: '/session/start', type: 'session', token: await mintSessionToken(sessionClaims(), 'HS256', secret) });
    for (;;) {
      const text = await client.next(30000);
      if (text === null) throw new Error('no session reply');
      const reply = JSON.parse(text);
      if (reply.type === 'session' || reply.type === 'error') return reply.type;
    }
  } finally {
    await client.close();
  }
}

const clisitefRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-package-clisitef-'));
fs.chownSync(clisitefRoot, id('-u'), id('-g'));
const service = spawn(path.join(folder, 'SvcNorvaneSiTef'), [], {
  cwd: folder, uid: id('-u'), gid: id('-g'), stdio: ['ignore', 'pipe', 'inherit'],
  env: { PATH: process.env.PATH, LC_TIME: 'C.UTF-8', NORVANE_CLISITEF_ROOT: clisitefRoot },
});
const exited = new Promise((resolve) => service.once('exit', resolve));
try {
  // The console line comes once the port is open.
  const line = await new Promise((resolve, reject) => {
    let out = '';
    service.stdout.on('data', (d) => { out += d; if (out.includes('\n')) resolve(out); });
    service.once('exit', (code) => reject(new Error(`the service ended (${code}) before its console line: ${out}`)));
  });
  assert.match(line, /listening on wss:\/\/localhost:/);
  assert.doesNotMatch(line, /UNSAFE/);
  assert.equal(await upgradeStatus(origin), 101, 'the origin given at set-up');
  assert.equal(await upgradeStatus('https://evil.example'), 403, 'another origin');
  assert.equal(await sessionReply(SHARED_SECRET), 'error', 'a token signed with the built-in key');
  assert.equal(await sessionReply(new TextEncoder().encode(key)), 'session', 'a token signed with the key given at set-up');
  console.log('the installed service serves only the origin and the key given at set-up');
} finally {
  service.kill('SIGTERM');
  await exited;
  fs.rmSync(clisitefRoot, { recursive: true, force: true });
}
