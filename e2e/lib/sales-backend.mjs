// A sales back-end for the end-to-end tests: a real HTTPS server on loopback that records
// every callback it receives and answers as the test tells it.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';

function respond(res, answer) {
  const text = answer.body === undefined ? '' :
    typeof answer.body === 'string' ? answer.body : JSON.stringify(answer.body);
  if (answer.cut !== undefined) {
    // The status line and headers promise a body of 100 bytes; `cut` of it is sent, and the
    // connection is closed.
    res.writeHead(answer.status, { 'Content-Type': 'application/json', 'Content-Length': '100' });
    res.flushHeaders();
    res.write(answer.cut, () => setImmediate(() => res.socket?.destroy()));
    return;
  }
  res.writeHead(answer.status, { 'Content-Type': 'application/json', ...answer.headers });
  res.end(text);
}

export class SalesBackend {
  constructor(server) {
    this.server = server;
    this.requests = [];     // { method, url, headers, body }
    this.waiters = [];
    this.hanging = new Set();
    // What the next callbacks get: { status, body (object or text), headers } or { hang: true };
    // `heldUntil` (a promise) holds the answer back until it settles.
    this.answer = { status: 201, body: { data: 1234 } };
  }

  get port() { return this.server.address().port; }
  // The callback base address a session token names.
  baseUrl(suffix = '/api') { return `https://127.0.0.1:${this.port}${suffix}`; }

  // Resolves with the n-th request (1-based) once it has arrived.
  request(n = 1, timeoutMs = 15000) {
    if (this.requests.length >= n) return Promise.resolve(this.requests[n - 1]);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no callback #${n} within ${timeoutMs} ms`)), timeoutMs);
      this.waiters.push({ n, resolve: (r) => { clearTimeout(timer); resolve(r); } });
    });
  }

  handle(req, res) {
    let body = '';
    req.setEncoding('utf8');
    req.on('data', (chunk) => { body += chunk; });
    req.on('end', () => {
      const record = { method: req.method, url: req.url, headers: req.headers, body };
      if (req.url.startsWith('/redirected-from/')) {
        // A redirect (308 keeps the method and body) to the real callback address.
        res.writeHead(308, { Location: req.url.replace('/redirected-from/', '/') });
        res.end();
        return;
      }
      this.requests.push(record);
      for (const waiter of this.waiters.filter((w) => w.n <= this.requests.length)) {
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        waiter.resolve(this.requests[waiter.n - 1]);
      }
      const answer = this.answer;
      if (answer.hang) { this.hanging.add(res); return; }
      Promise.resolve(answer.heldUntil).then(() => respond(res, answer));
    });
  }

  // Answers the callbacks held so far ({ hang: true }) with the given answer.
  release(answer) {
    for (const res of this.hanging) respond(res, answer);
    this.hanging.clear();
  }

  async close() {
    for (const res of this.hanging) res.destroy();
    this.server.closeAllConnections?.();
    await new Promise((resolve) => this.server.close(resolve));
  }
}

// Starts the back-end with a certificate and key in PEM (the service folder's own, signed by
// the development CA the service trusts, unless the test gives another).
export async function startSalesBackend({ cert, key }) {
  let backend;
  const server = https.createServer({ cert, key, minVersion: 'TLSv1.2' }, (req, res) => backend.handle(req, res));
  backend = new SalesBackend(server);
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  return backend;
}

// The development-CA-signed certificate of a service folder.
export function trustedCertificate(serviceFolder) {
  return {
    cert: fs.readFileSync(path.join(serviceFolder, 'Certificado', 'server_cert.pem')),
    key: fs.readFileSync(path.join(serviceFolder, 'Certificado', 'server_key.pem')),
  };
}

// A self-signed certificate for 127.0.0.1 that no CA vouches for.
export function selfSignedCertificate() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-selfsigned-'));
  try {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1',
      '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', path.join(dir, 'key.pem'), '-out', path.join(dir, 'cert.pem')],
    { stdio: 'ignore' });
    return { cert: fs.readFileSync(path.join(dir, 'cert.pem')), key: fs.readFileSync(path.join(dir, 'key.pem')) };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// A certificate for 127.0.0.1 issued by an intermediate CA under a root that nobody trusts:
// { cert, key } for the back-end (the leaf alone) and the intermediate's certificate.
export function intermediateIssuedCertificate() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-chain-'));
  const file = (name) => path.join(dir, name);
  const openssl = (...args) => execFileSync('openssl', args, { stdio: 'ignore' });
  try {
    fs.writeFileSync(file('ca.ext'), 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n');
    fs.writeFileSync(file('leaf.ext'), 'subjectAltName=IP:127.0.0.1\n');
    openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Norvane Test Root',
      '-keyout', file('root.key'), '-out', file('root.pem'));
    openssl('req', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=Norvane Test Intermediate',
      '-keyout', file('int.key'), '-out', file('int.csr'));
    openssl('x509', '-req', '-in', file('int.csr'), '-CA', file('root.pem'), '-CAkey', file('root.key'),
      '-set_serial', '2', '-days', '2', '-extfile', file('ca.ext'), '-out', file('int.pem'));
    openssl('req', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=127.0.0.1',
      '-keyout', file('leaf.key'), '-out', file('leaf.csr'));
    openssl('x509', '-req', '-in', file('leaf.csr'), '-CA', file('int.pem'), '-CAkey', file('int.key'),
      '-set_serial', '3', '-days', '2', '-extfile', file('leaf.ext'), '-out', file('leaf.pem'));
    return {
      cert: fs.readFileSync(file('leaf.pem')),
      key: fs.readFileSync(file('leaf.key')),
      intermediate: fs.readFileSync(file('int.pem')),
    };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}
