// The demo sales back-end: serves the demo page over HTTPS, mints the session tokens the
// service accepts, and receives the service's payment reports, answering each with a payment
// id and showing them to the page. A reprint is reported the same way but is no payment: it
// is kept apart and gets no payment id. It reads the service folder for its port, its token
// secret and its development certificate, so the page, the service and this back-end agree.
// With --print-dir it also serves the PDF files a PDF printer writes there, so that the page
// can link to the receipt it printed.
//
//   node web/demo/server.mjs [--service-dir build/service] [--port 8080] [--print-dir DIR]
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
const PRINT_WAIT_MS = 30000;            // how long the page may wait for a printed PDF
const PRINTED_NAME = /^[^/\\]{1,200}\.pdf$/i;

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
export async function startDemoBackEnd({ serviceDir, port = 0, host = '127.0.0.1', servicePort, printDir = null } = {}) {
  const ini = readServiceIni(serviceDir);
  const secret = new TextEncoder().encode(ini.jwt_secret?.trim() || BUILT_IN_SECRET);
  const wsPort = servicePort ?? (Number.parseInt(ini.server_port, 10) > 0 ? Number.parseInt(ini.server_port, 10) : 443);
  const certificates = path.join(serviceDir, 'Certificado');
  const reports = [];
  const reprints = [];
  let nextSaleId = 1000 + (Date.now() % 100000);
  let nextPaymentId = 5000;
  let nextReprintId = 1;
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
    'GET /api/payments': async () => ({ payments: reports, reprints }),
    'GET /api/prints': async () => ({ now: Date.now(), folder: printDir, files: printDir ? await printedFiles(printDir) : [] }),
    'GET /api/prints/next': async (request, url, response) => {
      if (!printDir) return { file: null };
      const since = Number(url.searchParams.get('since'));
      if (!Number.isFinite(since)) throw new HttpError(400, 'since ausente');
      return { file: await nextPrintedFile(printDir, since, response) };
    },
  };

  async function receiveReport(request, response, token) {
    try {
      await jwtVerify(token, secret, { algorithms: ['HS256', 'HS384', 'HS512'] });
    } catch {
      throw new HttpError(401, 'token de callback inválido');
    }
    const report = await readJson(request, REPORT_BODY);
    if (!Array.isArray(report.transaction_data)) throw new HttpError(422, 'transaction_data ausente');
    if (report.transaction_data[0]?.operation === 'reprint') {
      // A reprint moves no money: recorded on its own, without a payment id. The service still
      // needs a 2xx answer, or it takes the report as refused.
      const reprintId = nextReprintId++;
      reprints.push({ reprintId, receivedAt: new Date().toISOString(), report });
      if (reprints.length > KEPT_REPORTS) reprints.shift();
      send(response, 200, { reprint: reprintId });
      return;
    }
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
    const printed = url.pathname.match(/^\/prints\/([^/]+)$/);
    if (request.method === 'GET' && printed && printDir) { sendPrinted(response, printed[1]); return; }
    const callback = url.pathname.match(/^\/api\/v1\/sales\/tef\/callback\/([A-Za-z0-9_.-]{1,4096})$/);
    if (request.method === 'POST' && callback) { await receiveReport(request, response, callback[1]); return; }
    const route = routes[`${request.method} ${url.pathname}`];
    if (!route) throw new HttpError(404, 'não encontrado');
    send(response, 200, await route(request, url, response));
  }

  function sendPrinted(response, encoded) {
    let name = '';
    try {
      name = decodeURIComponent(encoded);
    } catch { /* a malformed escape names no file */ }
    if (!PRINTED_NAME.test(name) || name.startsWith('.')) throw new HttpError(404, 'não encontrado');
    let bytes;
    try {
      bytes = fs.readFileSync(path.join(printDir, name));
    } catch {
      throw new HttpError(404, 'não encontrado');
    }
    response.writeHead(200, { 'content-type': 'application/pdf', 'cache-control': 'no-store' });
    response.end(bytes);
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
    reprints,
    close: () => new Promise((resolve) => { server.closeAllConnections(); server.close(() => resolve()); }),
  };
}

/** The whole PDF files of the print folder, newest first: { name, url, modified }. */
async function printedFiles(folder) {
  let names;
  try {
    names = await fs.promises.readdir(folder);
  } catch {
    return [];  // the printer has not written anything yet
  }
  const files = [];
  for (const name of names) {
    if (!PRINTED_NAME.test(name) || name.startsWith('.')) continue;
    const file = path.join(folder, name);
    try {
      const stat = await fs.promises.stat(file);
      if (stat.isFile() && await isWholePdf(file, stat.size)) {
        files.push({ name, url: `/prints/${encodeURIComponent(name)}`, modified: stat.mtimeMs });
      }
    } catch { /* removed meanwhile */ }
  }
  return files.sort((a, b) => b.modified - a.modified);
}

/** A PDF is whole once its last bytes hold the end-of-file mark (the printer writes it last). */
async function isWholePdf(file, size) {
  if (size < 16) return false;
  const handle = await fs.promises.open(file, 'r');
  try {
    const tail = Buffer.alloc(Math.min(size, 64));
    await handle.read(tail, 0, tail.length, size - tail.length);
    return tail.toString('latin1').includes('%%EOF');
  } finally {
    await handle.close();
  }
}

/**
 * The first whole PDF written in `folder` at or after `since` (ms since the epoch), waiting for
 * it up to PRINT_WAIT_MS by watching the folder; null when none came or the page went away.
 */
async function nextPrintedFile(folder, since, response) {
  const newest = async () => (await printedFiles(folder)).filter((f) => f.modified >= since).at(-1) ?? null;
  await fs.promises.mkdir(folder, { recursive: true }).catch(() => {});
  return new Promise((resolve) => {
    let watcher = null;
    let done = false;
    const finish = (file) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      watcher?.close();
      response.off('close', gone);
      resolve(file);
    };
    const look = () => newest().then((file) => { if (file) finish(file); }, () => {});
    const gone = () => finish(null);
    const timer = setTimeout(() => newest().then(finish, () => finish(null)), PRINT_WAIT_MS);
    response.once('close', gone);
    try {
      watcher = fs.watch(folder, look);
      watcher.on('error', () => {});
    } catch { /* a folder that cannot be watched is looked at once more when the wait ends */ }
    look();
  });
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
  const printDir = argument('--print-dir', null);
  startDemoBackEnd({
    serviceDir, port: Number(argument('--port', '8080')), host: argument('--host', '127.0.0.1'),
    printDir: printDir && path.resolve(printDir),
  })
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
