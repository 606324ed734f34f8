// Talks to a running service as a browser client would (wss, one JSON object per text
// message), with session tokens as the sales back-end signs them.
import { SignJWT } from 'jose';
import WebSocket from 'ws';

export const SHARED_SECRET = new TextEncoder().encode('Hw4Tq8Zn2Kb6Xp1Rj9Lc3Vm7Ds5Fy0Ue');

// A wss client that queues what it receives: next() gives the next message text (or
// null when nothing came within the time given, or the connection is closed).
export async function connectClient(port) {
  const ws = new WebSocket(`wss://127.0.0.1:${port}`, { rejectUnauthorized: false });
  const queue = [];
  const waiters = [];
  let closed = false;
  ws.on('message', (data) => {
    const text = data.toString('utf8');
    const waiter = waiters.shift();
    if (waiter) waiter(text); else queue.push(text);
  });
  ws.on('close', () => {
    closed = true;
    for (const waiter of waiters.splice(0)) waiter(null);
  });
  await new Promise((resolve, reject) => { ws.once('open', resolve); ws.once('error', reject); });
  return {
    ws,
    send(message) { ws.send(typeof message === 'string' ? message : JSON.stringify(message)); },
    next(timeoutMs = 5000) {
      if (queue.length) return Promise.resolve(queue.shift());
      if (closed) return Promise.resolve(null);
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
