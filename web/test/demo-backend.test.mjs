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
