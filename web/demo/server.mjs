// The demo sales back-end: serves the demo page over HTTPS, mints the session tokens the
// service accepts, and receives the service's payment reports, answering each with a payment
// id and showing them to the page. It reads the service folder for its port, its token
// secret and its development certificate, so the page, the service and this back-end agree.
//
//   node web/demo/server.mjs [--service-dir build/service] [--port 8080]
//
// Prints "Demo: https://localhost:PORT/" once it listens.
import crypto from 'node:crypto';
import fs from 'node:fs';
import https from 'node:https';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { SignJWT, jwtVerify } from 'jose';

const here = path.dirname(fileURLToPath(import.meta.url));
const web = path.resolve(here, '..');

// The service's built-in token secret; `[sitef] jwt_secret` replaces it.
const BUILT_IN_SECRET = 'Hw4Tq8Zn2Kb6Xp1Rj9Lc3Vm7Ds5Fy0Ue';
const SMALL_BODY = 4 * 1024;            // a token or sale request
const REPORT_BODY = 4 * 1024 * 1024;    // a payment report with its receipt copies
const KEPT_REPORTS = 200;

const STATIC_FILES = {
  '/': ['demo/index.html', 'text/html; charset=utf-8'],
  '/demo.js': ['demo/demo.js', 'text/javascript; charset=utf-8'],
  '/demo.css': ['demo/demo.css', 'text/css; charset=utf-8'],
  '/norvane-tef.js': ['norvane-tef.js', 'text/javascript; charset=utf-8'],
  '/vendor/qrcode.mjs': ['node_modules/qrcode-generator/dist/qrcode.mjs', 'text/javascript; charset=utf-8'],
  '/favicon.ico': [null, 'image/x-icon'],
};

/** Section `sitef` of the service's INI file, keys in lower case (as the service reads them). */
export function readServiceIni(serviceDir) {
  const file = path.join(serviceDir, 'SvcNorvaneSiTef.ini');
  const values = {};
  if (!fs.existsSync(file)) return values;
  let section = '';
  for (const raw of fs.readFileSync(file, 'utf8').split(/\r?\n/)) {
    const line = raw.trim();
    if (line.startsWith('[')) { section = line.slice(1, line.indexOf(']')).trim().toLowerCase(); continue; }
    const equals = line.indexOf('=');
    if (section !== 'sitef' || equals < 0 || line.startsWith(';')) continue;
    values[line.slice(0, equals).trim().toLowerCase()] = line.slice(equals + 1);
  }
  return values;
}

class HttpError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

function readBody(request, limit) {
  return new Promise((resolve, reject) => {
    const declared = Number(request.headers['content-length'] ?? 0);
    if (declared > limit) { reject(new HttpError(413, `corpo acima de ${limit} bytes`)); return; }
    const chunks = [];
    let size = 0;
    request.on('data', (chunk) => {
      size += chunk.length;
      if (size > limit) {
        // Read no more; the answer closes the connection, so the rest is never taken in.
        request.pause();
        request.removeAllListeners('data');
        reject(new HttpError(413, `corpo acima de ${limit} bytes`));
        return;
      }
      chunks.push(chunk);
    });
    request.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    request.on('error', reject);
  });
}

async function readJson(request, limit) {
  const text = await readBody(request, limit);
  if (text.trim() === '') return {};
  try {
    const value = JSON.parse(text);
    if (value === null || typeof value !== 'object' || Array.isArray(value)) throw new Error('not an object');
    return value;
  } catch {
    throw new HttpError(400, 'o corpo não é um objeto JSON');
  }
}

function portAccepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.setTimeout(1000, () => { socket.destroy(); resolve(false); });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

/**
 * Starts the back-end. `port` 0 takes a free one. Resolves with { port, url, reports, close }.
 * `reports` is the list of payment reports received, newest last.
 */
export async function startDemoBackEnd({ serviceDir, port = 0, host = '127.0.0.1', servicePort } = {}) {
  const ini = readServiceIni(serviceDir);
  const secret = new TextEncoder().encode(ini.jwt_secret?.trim() || BUILT_IN_SECRET);
  const wsPort = servicePort ?? (Number.parseInt(ini.server_port, 10) > 0 ? Number.parseInt(ini.server_port, 10) : 443);
  const certificates = path.join(serviceDir, 'Certificado');
  const reports = [];
  let nextSaleId = 1000 + (Date.now() % 100000);
  let nextPaymentId = 5000;
  let origin = '';

  async function mintToken(saleId) {
    return new SignJWT({
      secctional_code: '1009', ip_address: '127.0.0.1', store_code: '00000001', additional_parameters: '',
      operator: 'CAIXA 1', sale_id: saleId, company_id: 1, callback_url: `${origin}/api/`,
    }).setProtectedHeader({ alg: 'HS256', typ: 'JWT' }).setIssuedAt().setExpirationTime('10m').sign(secret);
  }

  const routes = {
    'GET /api/config': async () => ({ serviceUrl: `wss://localhost:${wsPort}` }),
    'GET /api/service-status': async () => ({ listening: await portAccepts(wsPort), port: wsPort }),
    'POST /api/session': async (request) => {
      await readBody(request, SMALL_BODY);
      const saleId = nextSaleId++;
      return { token: await mintToken(saleId), saleId };
    },
    'POST /api/sales': async (request) => {
      await readBody(request, SMALL_BODY);
      return { saleId: nextSaleId++ };
    },
    'GET /api/payments': async () => ({ payments: reports }),
  };

  async function receiveReport(request, response, token) {
    try {
      await jwtVerify(token, secret, { algorithms: ['HS256', 'HS384', 'HS512'] });
    } catch {
      throw new HttpError(401, 'token de callback inválido');
    }
    const report = await readJson(request, REPORT_BODY);
    if (!Array.isArray(report.transaction_data)) throw new HttpError(422, 'transaction_data ausente');
    const paymentId = nextPaymentId++;
    reports.push({ paymentId, receivedAt: new Date().toISOString(), report });
    if (reports.length > KEPT_REPORTS) reports.shift();
    send(response, 201, { data: paymentId });
  }

  function send(response, status, body) {
    const text = JSON.stringify(body);
    const headers = { 'content-type': 'application/json; charset=utf-8', 'cache-control': 'no-store' };
    if (status === 413) headers.connection = 'close';
    response.writeHead(status, headers);
    response.end(text);
  }

  async function handle(request, response) {
    const url = new URL(request.url, 'https://localhost');
    const file = STATIC_FILES[url.pathname];
    if (request.method === 'GET' && file) {
      if (file[0] === null) { response.writeHead(204); response.end(); return; }
      response.writeHead(200, { 'content-type': file[1], 'cache-control': 'no-store' });
      response.end(fs.readFileSync(path.join(web, file[0])));
      return;
    }
    const callback = url.pathname.match(/^\/api\/v1\/sales\/tef\/callback\/([A-Za-z0-9_.-]{1,4096})$/);
    if (request.method === 'POST' && callback) { await receiveReport(request, response, callback[1]); return; }
    const route = routes[`${request.method} ${url.pathname}`];
    if (!route) throw new HttpError(404, 'não encontrado');
    send(response, 200, await route(request));
  }

  const server = https.createServer({
    cert: fs.readFileSync(path.join(certificates, 'server_cert.pem')),
    key: fs.readFileSync(path.join(certificates, 'server_key.pem')),
    requestTimeout: 30000,
  }, (request, response) => {
    handle(request, response).catch((error) => {
      if (response.headersSent) { response.destroy(); return; }
      send(response, error.status ?? 500, { message: error.status ? error.message : 'erro interno' });
      if (!error.status) console.error('demo back-end:', error);
    });
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, resolve);
  });
  const actualPort = server.address().port;
  origin = `https://localhost:${actualPort}`;
  return {
    port: actualPort,
    url: `${origin}/`,
    servicePort: wsPort,
    reports,
    close: () => new Promise((resolve) => { server.closeAllConnections(); server.close(() => resolve()); }),
  };
}

/** The certificate's public-key hash, as Chromium's --ignore-certificate-errors-spki-list takes it. */
export function spkiHash(certificatePem) {
  const der = new crypto.X509Certificate(certificatePem).publicKey.export({ type: 'spki', format: 'der' });
  return crypto.createHash('sha256').update(der).digest('base64');
}

function argument(name, fallback) {
  const at = process.argv.indexOf(name);
  return at > 0 && process.argv[at + 1] ? process.argv[at + 1] : fallback;
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const serviceDir = path.resolve(argument('--service-dir', path.join(web, '..', 'build', 'service')));
  if (!fs.existsSync(path.join(serviceDir, 'Certificado', 'server_cert.pem'))) {
    console.error(`demo: no service folder with certificates at ${serviceDir}; run scripts/build.sh first ` +
      'or name the folder with --service-dir.');
    process.exit(1);
  }
  startDemoBackEnd({ serviceDir, port: Number(argument('--port', '8080')), host: argument('--host', '127.0.0.1') })
    .then((demo) => {
      console.log(`Demo: ${demo.url}  (service at wss://localhost:${demo.servicePort})`);
      console.log(`The browser must trust ${path.join(serviceDir, 'Certificado', 'ca_cert.pem')} ` +
        '(README, "Try it in a browser").');
      const stop = () => demo.close().then(() => process.exit(0));
      process.once('SIGINT', stop);
      process.once('SIGTERM', stop);
    })
    .catch((error) => {
      console.error(`demo: cannot start: ${error.message}` +
        (error.code === 'EADDRINUSE' ? ' (choose another port with --port)' : ''));
      process.exit(1);
    });
}
