// What the payment tests share: the service with the stand-in library set to answer at
// once, the sales back-end, the README's browser example and a scripted operator.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import WebSocket from 'ws';
import { startService } from './service.mjs';
import { startSalesBackend, trustedCertificate } from './sales-backend.mjs';
import { connectClient, mintSessionToken, sessionClaims } from './session-helpers.mjs';

// The stand-in's settings file: quick polls, plus the keys a test changes.
export function setStandIn(service, settings = {}) {
  const values = { Scenario: 'approved', PinPad: 1, PollCount: 2, PollIntervalMs: 20, ...settings };
  const text = '[Simulator]\r\n' + Object.entries(values).map(([k, v]) => `${k}=${v}`).join('\r\n') + '\r\n';
  fs.writeFileSync(path.join(service.dir, 'dll', 'CliSiTef.ini'), text);
}

export function journal(service) {
  const file = path.join(service.dir, 'dll', 'CliSiTef.journal');
  return fs.existsSync(file) ? fs.readFileSync(file, 'latin1') : '';
}

// Where the journal ends now: a test reads only what was journaled after its own mark.
export function journalMark(service) { return journal(service).length; }

// The stand-in's finalisations journaled since `mark` (from the start without one), in
// order, each as 'confirma=N transacao="outcome"': a payment settled once shows exactly one.
export function finalisations(service, mark = 0) {
  return journal(service).slice(mark).split('\n').filter((line) => line.includes('FinalizaFuncaoSiTefInterativo('))
    .map((line) => `${line.match(/confirma=-?\d+/)[0]} ${line.match(/transacao=.*$/)[0].trimEnd()}`);
}

// A service whose CliSiTef control folder lives in its own folder, with a back-end.
export async function startPaymentService({ env = {}, extraIni = {} } = {}) {
  // Never the workstation's own /var/lib/CliSiTef: a root of this test's own.
  const clisitefRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-clisitef-'));
  const service = await startService({
    extraIni: { pdv_number: 1, ...extraIni },
    env: { NORVANE_TEST_CALLBACK_TIMEOUT_MS: '2000', NORVANE_CLISITEF_ROOT: clisitefRoot, ...env },
  });
  service.clisitefRoot = clisitefRoot;
  const dispose = service.dispose.bind(service);
  service.dispose = async () => { await dispose(); fs.rmSync(clisitefRoot, { recursive: true, force: true }); };
  setStandIn(service);
  const backend = await startSalesBackend(trustedCertificate(service.dir));
  return { service, backend };
}

export function controlRoot(service) { return service.clisitefRoot; }

// Node's `ws` dressed as the browser's WebSocket (the service's CA trusted, as the
// workstation's browser trusts it).
export function browserWebSocket(ca) {
  return class extends WebSocket {
    constructor(url) { super(url, { ca }); }
  };
}

// The README's takePayment function, exactly as written there.
export function readmeTakePayment(ca) {
  const readme = fs.readFileSync(new URL('../../README.md', import.meta.url), 'utf8');
  const section = readme.slice(readme.indexOf('## Taking a payment'));
  const code = section.match(/```js\n([\s\S]*?)```/)[1];
  return new Function('WebSocket', `${code}\nreturn takePayment;`)(browserWebSocket(ca));
}

// An operator that answers every question from a script and records what it was shown.
export function scriptedOperator(script = {}) {
  const seen = [];
  return {
    seen,
    show: (text) => seen.push({ type: 'message', text }),
    showQrCode: (data) => seen.push({ type: 'qrcode', data }),
    allowCancel: (allowed, cancel) => {
      seen.push({ type: 'can_cancel', allowed });
      if (allowed && script.cancelWhenAllowed) cancel();
    },
    choose: async (title, options) => {
      seen.push({ type: 'menu', title, options });
      const pick = script.menu?.(title, options);
      return pick === undefined ? options[0] : pick;
    },
    type: async (title, min, max) => {
      seen.push({ type: 'collect', title, min, max });
      if (/numero do cartao/i.test(title)) return '4111111111111111';
      if (/vencimento/i.test(title)) return '1230';
      if (/seguranca/i.test(title)) return '123';
      return script.collect ? script.collect(title) : '1';
    },
    ask: async (message, options) => { seen.push({ type: 'question', message, options }); return options[0]; },
    confirm: async (message) => { seen.push({ type: 'confirmation', message }); },
  };
}

export async function token(backend, overrides = {}) {
  return mintSessionToken(sessionClaims({ callback_url: backend.baseUrl('/api'), ...overrides }));
}

// A raw client with a started session: { client, session }.
export async function sessionClient(service, backend, overrides = {}) {
  const client = await connectClient(service.port);
  client.send({ route: '/session/start', type: 'session', token: await token(backend, overrides) });
  for (;;) {
    const text = await client.next(15000);
    if (text === null) throw new Error('no session reply');
    const m = JSON.parse(text);
    if (m.type === 'session') return { client, session: m.session_uuid };
    if (m.type === 'error') throw new Error(m.message);
  }
}

// Reads messages until one matches; returns [all read, the match].
export async function readUntil(client, predicate, timeoutMs = 20000) {
  const read = [];
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const text = await client.next(Math.max(1, deadline - Date.now()));
    if (text === null) throw new Error(`timed out; read: ${JSON.stringify(read)}`);
    const m = JSON.parse(text);
    read.push(m);
    if (predicate(m)) return [read, m];
  }
}

// Answers every question of a raw client's operation (first menu line, "1" typed, "Sim",
// confirmations) until its result, which it returns; null when the connection closes first.
// `each` sees every message first, before it is answered.
export async function answerDialogue(client, each = () => {}) {
  for (;;) {
    const text = await client.next(20000);
    if (text === null) return null;
    const m = JSON.parse(text);
    each(m);
    if (m.type === 'result') return m;
    if (m.type === 'menu') client.send({ route: '/transaction', type: 'menu', response: m.options[0], back_menu: false });
    if (m.type === 'collect') client.send({ route: '/transaction', type: 'collect', typed: true, response: '1', back_menu: false });
    if (m.type === 'question') client.send({ route: '/transaction', type: 'question', response: 'Sim' });
    if (m.type === 'confirmation') client.send({ route: '/transaction', type: 'confirmation' });
  }
}
