// Starts a private copy of the installed service folder on a free loopback port and talks
// to it as a browser client would (wss, one JSON object per text message).
import { spawn } from 'node:child_process';
import { cpSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';
import { SignJWT } from 'jose';
import WebSocket from 'ws';

export const SHARED_SECRET = new TextEncoder().encode('Hw4Tq8Zn2Kb6Xp1Rj9Lc3Vm7Ds5Fy0Ue');

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.unref();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function portAccepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// Copies NORVANE_SERVICE_DIR to a scratch folder (the executable finds its ini, log and
// certificates beside itself), writes its ini and starts it. Returns { port, folder, stop }.
export async function startService({ pdvNumber = 1 } = {}) {
  const source = process.env.NORVANE_SERVICE_DIR;
  if (!source) throw new Error('NORVANE_SERVICE_DIR must name the installed service folder');
  const folder = mkdtempSync(path.join(tmpdir(), 'norvane-e2e-'));
  cpSync(source, folder, { recursive: true });
  const port = await freePort();
  writeFileSync(path.join(folder, 'SvcNorvaneSiTef.ini'),
    `[sitef]\r\nserver_port=${port}\r\npdv_number=${pdvNumber}\r\n`);
  const child = spawn(path.join(folder, 'SvcNorvaneSiTef'), [], {
    cwd: folder, stdio: ['ignore', 'ignore', 'pipe'], env: { ...process.env, LC_ALL: 'C.UTF-8' },
  });
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const exited = new Promise((resolve) => child.once('exit', resolve));

  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) {
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      await exited;
      clearTimeout(timer);
    }
    rmSync(folder, { recursive: true, force: true });
  };

  // The listener needs a moment after start; retry the connect with a growing pause.
  for (let wait = 20; wait < 2000; wait *= 1.5) {
    if (child.exitCode !== null) break;
    if (await portAccepts(port)) return { port, folder, stop };
    await delay(wait);
  }
  await stop();
  throw new Error(`service did not listen on ${port}: ${stderr}`);
}

// A wss client that queues what it receives: next() gives the next message text (or
// null when nothing came within the time given).
export async function connectClient(port) {
  const ws = new WebSocket(`wss://127.0.0.1:${port}`, { rejectUnauthorized: false });
  const queue = [];
  const waiters = [];
  ws.on('message', (data) => {
    const text = data.toString('utf8');
    const waiter = waiters.shift();
    if (waiter) waiter(text); else queue.push(text);
  });
  await new Promise((resolve, reject) => { ws.once('open', resolve); ws.once('error', reject); });
  return {
    ws,
    send(message) { ws.send(typeof message === 'string' ? message : JSON.stringify(message)); },
    next(timeoutMs = 5000) {
      if (queue.length) return Promise.resolve(queue.shift());
      return new Promise((resolve) => {
        const timer = setTimeout(() => {
          const at = waiters.indexOf(deliver);
          if (at >= 0) waiters.splice(at, 1);
          resolve(null);
        }, timeoutMs);
        const deliver = (text) => { clearTimeout(timer); resolve(text); };
        waiters.push(deliver);
      });
    },
    close() {
      return new Promise((resolve) => {
        if (ws.readyState === WebSocket.CLOSED) return resolve();
        ws.once('close', resolve);
        ws.close();
      });
    },
  };
}

// The claims a sales back-end puts in a session token.
export function sessionClaims(overrides = {}) {
  return {
    secctional_code: '1009', ip_address: '127.0.0.1', store_code: '00000001',
    additional_parameters: '', operator: 'CAIXA 1', sale_id: 42, company_id: 7,
    callback_url: 'https://vendas.example/api/', ...overrides,
  };
}

// A session token as the sales back-end signs it (HS256, HS384 or HS512).
export function mintSessionToken(claims, alg = 'HS256', secret = SHARED_SECRET) {
  return new SignJWT(claims).setProtectedHeader({ alg, typ: 'JWT' }).setIssuedAt().sign(secret);
}
