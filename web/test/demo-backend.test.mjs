// The demo back-end as the service and a hostile client meet it: payment reports need the
// service's token, bodies are bounded, and only what the page uses is served.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { SignJWT } from 'jose';
import { startDemoBackEnd } from '../demo/server.mjs';
import { makeCertificates } from './fake-service.mjs';

let certificates;
let backEnd;
const secret = new TextEncoder().encode('segredo-da-estacao-0123456789abcdef');

before(async () => {
  certificates = makeCertificates();
  fs.writeFileSync(path.join(certificates.folder, 'SvcNorvaneSiTef.ini'),
    `[sitef]\r\nserver_port=9443\r\njwt_secret=${new TextDecoder().decode(secret)}\r\n`);
  backEnd = await startDemoBackEnd({ serviceDir: certificates.folder });
});

after(async () => {
  await backEnd?.close();
  fs.rmSync(certificates.folder, { recursive: true, force: true });
});

function call(method, pathname, body) {
  return new Promise((resolve, reject) => {
    const request = https.request({
      host: '127.0.0.1', port: backEnd.port, path: pathname, method, ca: certificates.ca, servername: 'localhost',
      headers: body === undefined ? {} : { 'content-type': 'application/json', 'content-length': Buffer.byteLength(body) },
    }, (response) => {
      let text = '';
      response.on('data', (chunk) => { text += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, text }));
    });
    // A refused upload may be cut while still being written; an answer read before that counts.
    request.on('error', (error) => resolve({ status: 0, text: error.code }));
    if (body !== undefined) request.write(body);
    request.end();
  });
}

const serviceToken = () => new SignJWT({}).setProtectedHeader({ typ: 'JWT', alg: 'HS384' }).sign(secret);
const report = JSON.stringify({
  type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
  transaction_data: [{ sale_id: 7, operation: 'debit', transaction_value: 5, receipt: [] }],
});

test('a report signed with the configured secret gets 201 and a payment id; others are refused', async () => {
  const good = await call('POST', `/api/v1/sales/tef/callback/${await serviceToken()}`, report);
  assert.equal(good.status, 201);
  const { data } = JSON.parse(good.text);
  assert.ok(Number.isInteger(data));
  assert.equal(backEnd.reports.at(-1).paymentId, data);

  const forged = await new SignJWT({}).setProtectedHeader({ alg: 'HS384' }).sign(new TextEncoder().encode('Hw4Tq8Zn2Kb6Xp1Rj9Lc3Vm7Ds5Fy0Ue'));
  const cases = [
    ['a token of another secret', `/api/v1/sales/tef/callback/${forged}`, report, 401],
    ['no token', '/api/v1/sales/tef/callback/', report, 404],
    ['a body that is not JSON', `/api/v1/sales/tef/callback/${await serviceToken()}`, 'approved!', 400],
    ['a report without transaction_data', `/api/v1/sales/tef/callback/${await serviceToken()}`, '{"type":"result"}', 422],
    ['a report over 4 MiB', `/api/v1/sales/tef/callback/${await serviceToken()}`, `{"x":"${'a'.repeat(4 * 1024 * 1024)}"}`, 413],
    ['a session request over 4 KiB', '/api/session', 'x'.repeat(5000), 413],
    ['a file outside the page', '/../../package.json', undefined, 404],
  ];
  const before = backEnd.reports.length;
  for (const [what, pathname, body, status] of cases) {
    assert.equal((await call(body === undefined ? 'GET' : 'POST', pathname, body)).status, status, what);
  }
  assert.equal(backEnd.reports.length, before, 'a refused report was kept');
});

test('a reprint report is answered 2xx without a payment id and kept apart from the payments', async () => {
  const payments = backEnd.reports.length;
  const reprint = JSON.stringify({
    type: 'result', status: 'approved', message: 'Transação TEF concluída com sucesso.',
    transaction_data: [{ operation: 'reprint', nsu_code: '412345', receipt: [] }],
  });
  const { status, text } = await call('POST', `/api/v1/sales/tef/callback/${await serviceToken()}`, reprint);
  assert.ok(status >= 200 && status <= 204, String(status));
  assert.equal('data' in JSON.parse(text), false, 'a reprint got a payment id');
  assert.equal(backEnd.reports.length, payments);
  assert.equal(backEnd.reprints.at(-1).report.transaction_data[0].nsu_code, '412345');
  const listed = JSON.parse((await call('GET', '/api/payments')).text);
  assert.equal(listed.payments.length, payments);
  assert.equal(listed.reprints.length, backEnd.reprints.length);
});

test('printed PDFs are served from the print folder only', async () => {
  const folder = fs.mkdtempSync(path.join(certificates.folder, 'prints-'));
  fs.writeFileSync(path.join(folder, 'job_7-Cupom.pdf'), '%PDF-1.4\n1 0 obj\n%%EOF\n');
  fs.writeFileSync(path.join(certificates.folder, 'secret.pdf'), '%PDF-1.4 secret %%EOF');
  const printing = await startDemoBackEnd({ serviceDir: certificates.folder, printDir: folder });
  const get = (pathname) => new Promise((resolve) => {
    https.get({ host: '127.0.0.1', port: printing.port, path: pathname, ca: certificates.ca, servername: 'localhost' }, (response) => {
      let body = '';
      response.on('data', (chunk) => { body += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, type: response.headers['content-type'], body }));
    });
  });
  try {
    const { files, folder: named } = JSON.parse((await get('/api/prints')).body);
    assert.equal(named, folder);
    assert.deepEqual(files.map((f) => f.url), ['/prints/job_7-Cupom.pdf']);
    const pdf = await get('/prints/job_7-Cupom.pdf');
    assert.deepEqual([pdf.status, pdf.type], [200, 'application/pdf']);
    // A file already there counts as the next print only when it was written since the time given.
    assert.equal(JSON.parse((await get(`/api/prints/next?since=${files[0].modified}`)).body).file.name, 'job_7-Cupom.pdf');
    for (const outside of ['/prints/..%2Fsecret.pdf', '/prints/%2E%2E%2Fsecret.pdf', '/prints/secret.pdf', '/prints/job_7-Cupom.txt', '/prints/%E0%A4%A.pdf']) {
      assert.equal((await get(outside)).status, 404, outside);
    }
    assert.equal((await call('GET', '/prints/job_7-Cupom.pdf')).status, 404, 'served without a print folder');
  } finally {
    await printing.close();
  }
});

test('session tokens carry the claims the service reads and the back-end as callback address', async () => {
  const { status, text } = await call('POST', '/api/session', '{}');
  assert.equal(status, 200);
  const { token, saleId } = JSON.parse(text);
  const { jwtVerify } = await import('jose');
  const { payload } = await jwtVerify(token, secret);
  assert.equal(payload.sale_id, saleId);
  assert.equal(payload.callback_url, `https://localhost:${backEnd.port}/api/`);
  for (const claim of ['secctional_code', 'ip_address', 'store_code', 'additional_parameters', 'operator', 'company_id']) {
    assert.ok(claim in payload, claim);
  }
  assert.deepEqual(JSON.parse((await call('GET', '/api/config')).text), { serviceUrl: 'wss://localhost:9443' });
});
