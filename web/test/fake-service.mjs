// A stand-in for the service's side of the protocol, played by the test message by message:
// a wss server on loopback (TLS with development certificates made for the test) that
// queues what the client sends and sends what the test tells it to.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import WebSocket, { WebSocketServer } from 'ws';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');

/** Development certificates for localhost in a scratch folder: { folder, ca, cert, key }. */
export function makeCertificates() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-web-certs-'));
  execFileSync(path.join(repo, 'scripts', 'make-dev-certs.sh'), [folder], { stdio: 'ignore' });
  const read = (name) => fs.readFileSync(path.join(folder, 'Certificado', name));
  return { folder, ca: read('ca_cert.pem'), cert: read('server_cert.pem'), key: read('server_key.pem') };
}

/** The `ws` client class that trusts `ca`, in the shape the library expects of WebSocket. */
export function trustingWebSocket(ca) {
  return class extends WebSocket {
    constructor(url) { super(url, { ca }); }
  };
}

export class FakeService {
  constructor(certificates) {
    this.certificates = certificates;
    this.inbox = [];
    this.waiters = [];
    this.client = null;
    this.connections = 0;
    this.port = 0;
  }

  /** Listens on `port` (0: any free one) on loopback. */
  async start(port = 0) {
    this.server = https.createServer({ cert: this.certificates.cert, key: this.certificates.key });
    this.sockets = new Set();
    this.server.on('connection', (socket) => {
      this.sockets.add(socket);
      socket.on('close', () => this.sockets.delete(socket));
    });
    this.wss = new WebSocketServer({ server: this.server });
    this.wss.on('connection', (ws) => {
      this.connections += 1;
      // The newest client wins, as in the service.
      this.client?.terminate();
      this.client = ws;
      ws.on('message', (data) => this.deliver(JSON.parse(data.toString('utf8'))));
      this.connectionWaiter?.();
    });
    await new Promise((resolve) => this.server.listen(port, '127.0.0.1', resolve));
    this.port = this.server.address().port;
    this.url = `wss://localhost:${this.port}`;
    return this;
  }

  /** Stops listening and drops every connection, as a service that stops does. */
  async stop() {
    for (const ws of this.wss.clients) ws.terminate();
    for (const socket of this.sockets) socket.destroy();
    this.client = null;
    await new Promise((resolve) => this.wss.close(() => this.server.close(() => resolve())));
  }

  deliver(message) {
    const waiter = this.waiters.shift();
    if (waiter) waiter(message); else this.inbox.push(message);
  }

  /** The next message the client sends; fails the test after `timeoutMs`. */
  receive(timeoutMs = 5000) {
    if (this.inbox.length) return Promise.resolve(this.inbox.shift());
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.waiters.splice(this.waiters.indexOf(take), 1);
        reject(new Error(`the client sent nothing within ${timeoutMs} ms`));
      }, timeoutMs);
      const take = (message) => { clearTimeout(timer); resolve(message); };
      this.waiters.push(take);
    });
  }

  /** Resolves with true when the client sent nothing more within `ms`. */
  async quiet(ms = 300) {
    try {
      const message = await this.receive(ms);
      this.inbox.unshift(message);
      return false;
    } catch {
      return true;
    }
  }

  /** Drops the client's connection, as a network that fails does; the service listens on. */
  drop() {
    this.client.terminate();
    this.client = null;
  }

  /** Sends each message, in order, to the current client. */
  send(...messages) {
    for (const message of messages) this.client.send(JSON.stringify(message));
  }

  waitForClient() {
    if (this.client) return Promise.resolve();
    return new Promise((resolve) => { this.connectionWaiter = () => { this.connectionWaiter = null; resolve(); }; });
  }
}

export async function startFakeService(certificates = makeCertificates(), port = 0) {
  return new FakeService(certificates).start(port);
}

// Dialogue messages as the service writes them, member for member.
export const say = {
  message: (message) => ({ type: 'message', message, options: [], can_cancel: false }),
  confirmation: (message) => ({ type: 'confirmation', message, options: ['Ok'], can_cancel: false }),
  question: (message, options = ['Sim', 'Não']) => ({ type: 'question', message, options, can_cancel: false }),
  menu: (title, options) => ({ type: 'menu', title, options, can_cancel: false, back_menu: false }),
  collect: (title, minimum, maximum, fieldType, fieldOperation = 'string') => ({
    type: 'collect', title, minimum_size: minimum, maximum_size: maximum, field_type: fieldType,
    field_operation: fieldOperation, can_cancel: false, back_menu: false, typed: false,
  }),
  qrcode: (data) => ({ type: 'qrcode', data }),
  canCancel: (value) => ({ type: 'can_cancel', can_cancel: value }),
  error: (message) => ({ type: 'error', message }),
  notDone: (status) => ({ type: 'result', status, message: 'Transação TEF não realizada.' }),
  /** The status of one payment, asked by its key. */
  status: (status, key, saleId, result = null, extra = {}) => ({
    type: 'transaction_status', status, idempotency_key: key, sale_id: saleId, result, ...extra,
  }),
};
