// norvane-tef.js in Node against the installed service, its stand-in CliSiTef library and the
// demo sales back-end (which receives the payment reports): every call's promise, error
// replies as rejections, two calls at once, and reconnection after the service restarts.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import WebSocket from 'ws';
import { NorvaneTef, TefError } from '../web/norvane-tef.js';
import { startDemoBackEnd } from '../web/demo/server.mjs';
import { configureStandIn, restartService, startService } from './lib/service.mjs';
import { mintSessionToken, sessionClaims } from './lib/session-helpers.mjs';

const limit = { timeout: 60000 };

/** Answers the stand-in's questions as a cashier would: a credit card, in `installments`. */
function cashier(seen, installments) {
  const choices = [/Cartao de Credito/, /Magnetico/, /Parcelado pelo Estabelecimento/];
  return {
    message: (text) => seen.push(['message', text]),
    confirmation: ({ message }) => { seen.push(['confirmation', message]); },
    question: ({ message }) => { seen.push(['question', message]); return 'Sim'; },
    menu: ({ title, options }) => {
      seen.push(['menu', title, options]);
      return Math.max(0, options.findIndex((o) => choices.some((c) => c.test(o))));
    },
    collect: (field) => { seen.push(['collect', field.title]); return String(installments); },
    qrcode: (data) => seen.push(['qrcode', data]),
    canCancel: (allowed) => seen.push(['canCancel', allowed]),
  };
}

describe('norvane-tef.js against the installed service', () => {
  let service;
  let backEnd;
  let tef;
  let seen;
  let WsTrustingService;

  const token = (overrides = {}) =>
    mintSessionToken(sessionClaims({ callback_url: `${backEnd.url}api/`, ...overrides }));

  before(async () => {
    service = await startService();
    configureStandIn(service.dir, { PollCount: 1, PollIntervalMs: 20 });
    backEnd = await startDemoBackEnd({ serviceDir: service.dir });
    const ca = service.caCert;
    WsTrustingService = class extends WebSocket { constructor(url) { super(url, { ca }); } };
    seen = [];
    tef = new NorvaneTef({ WebSocket: WsTrustingService, dialogue: cashier(seen, 3), firstRetryMs: 100, maxRetryMs: 500 });
    await tef.connect(`wss://localhost:${service.port}`);
  });

  after(async () => {
    tef?.close();
    await backEnd?.close();
    await service?.dispose();
  });

  test('a session, a credit sale in installments, its cancellation, a reprint, the pin-pad and the versions', limit, async () => {
    const session = await tef.startSession(await token());
    assert.equal(session.status, 'created');
    assert.equal(tef.sessionUuid, session.session_uuid);

    assert.deepEqual(await tef.pinpadStatus(), { type: 'status', status: 'connected', message: 'PinPad conectado' });
    const version = await tef.version({ category: 'clisitef_dll' });
    assert.equal(version.category, 'clisitef_dll');
    assert.match(version.version, /^\d+\.\d+\.\d+\.\d+$/);

    // Operation 0: the TEF's menu of payment kinds, so the client answers every menu itself.
    const sale = await tef.pay({ operation: 0, value: 30, payerName: 'Maria', saleId: 4242 });
    assert.equal(sale.status, 'approved', JSON.stringify(sale));
    const [data] = sale.transaction_data;
    assert.equal(data.operation, 'credit');
    assert.equal(data.sale_id, 4242);
    assert.equal(data.number_of_installments, 3);
    assert.equal(data.payment_id, backEnd.reports.at(-1).paymentId);
    assert.equal(backEnd.reports.at(-1).report.transaction_data[0].nsu_code, data.nsu_code);
    assert.deepEqual(data.receipt.map((r) => r.copy_number), [1, 2]);
    const kinds = seen.map((s) => s[0]);
    for (const kind of ['menu', 'collect', 'question']) assert.ok(kinds.includes(kind), `no ${kind} in ${kinds}`);

    const cancellation = await tef.cancelPayment({
      operation: 200, nsu: data.nsu_code, date: new Date(), value: 30, saleId: 4242,
    });
    assert.equal(cancellation.status, 'approved', JSON.stringify(cancellation));
    assert.equal(cancellation.transaction_data[0].operation, 'cancellation');
    assert.equal(cancellation.transaction_data[0].canceled_nsu, data.nsu_code);

    const reprint = await tef.reprint({ operation: 113 });
    assert.equal(reprint.transaction_data[0].operation, 'reprint');

    assert.equal((await tef.finishSession()).status, 'finished');
  });

  test('error replies reject with the service\'s own text', limit, async () => {
    const forged = mintSessionToken(sessionClaims(), 'HS256', new TextEncoder().encode('another secret'));
    const refusals = [
      [() => forged.then((t) => tef.startSession(t)), 'Acesso não autorizado.'],
      [() => tef.version({ category: 'firmware' }), 'Categoria inválida. Valores permitidos [service_exe, clisitef_dll]'],
    ];
    for (const [call, text] of refusals) {
      await assert.rejects(call(), (error) => error instanceof TefError && error.message === text);
    }
    await tef.startSession(await token());
    tef.sessionUuid = 'A0000000-0000-4000-8000-000000000000';
    await assert.rejects(tef.pinpadStatus(), { message: 'Sessão inválida.' });
  });

  test('two calls at once run one after the other', limit, async () => {
    await tef.startSession(await token());
    const order = [];
    const paying = tef.pay({ operation: 2, value: 5 }).then((r) => { order.push('pay'); return r; });
    const asking = tef.version().then((r) => { order.push('version'); return r; });
    const [result, version] = await Promise.all([paying, asking]);
    assert.equal(result.status, 'approved');
    assert.equal(version.type, 'version');
    assert.deepEqual(order, ['pay', 'version']);
  });

  test('after the service restarts the library reconnects and a new session works', limit, async () => {
    const states = [];
    tef.options.onStatus = (state) => states.push(state);
    service = await restartService(service);
    await tef.whenOpen();
    await assert.rejects(tef.pinpadStatus(), { message: 'Sessão inválida.' });  // a restart forgets sessions
    await tef.startSession(await token());
    assert.equal((await tef.pinpadStatus()).status, 'connected');
    assert.ok(states.includes('reconnecting') && states.at(-1) === 'open', states.join(','));
  });
});
