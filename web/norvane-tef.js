// norvane-tef.js: the browser client of the Norvane TEF Server.
//
// One connection to the service on the workstation (wss://localhost:PORT), one request at a
// time, the payment dialogue handed to the application as callbacks. No build step and no
// dependency: import it as an ES module.
//
//   import { NorvaneTef } from './norvane-tef.js';
//   const tef = new NorvaneTef({ dialogue: { menu: ({ options }) => options[0] } });
//   await tef.connect('wss://localhost:8443');
//   await tef.startSession(tokenFromYourBackEnd);
//   const result = await tef.pay({ operation: 3, value: 10.5, installments: 3 });
//
// The service's messages carry no request id: a reply belongs to the one request in flight.
// That is why every call waits for the previous one to end before its message is sent.

/** Answer a menu or a field with this to go back to the previous question. */
export const BACK = Object.freeze({ answer: 'back' });
/** Answer a menu or a field with this to cancel the operation (the service asks to confirm). */
export const CANCEL = Object.freeze({ answer: 'cancel' });

/** The service's own question before it abandons an operation the operator backed out of. */
const CANCEL_CONFIRMATION = 'Deseja realmente cancelar esta operação?';
/** The error reply of the sales back-end report: a `result` still follows it. */
const CALLBACK_ERROR_PREFIX = 'Erro ao registrar transação';
/** The sessionStorage item that holds the payments this page started and has no outcome of. */
const UNFINISHED_ITEM = 'norvane-tef.unfinished';
/** The longest `idempotency_key` the service takes. */
const MAX_KEY_LENGTH = 200;
/** How the library's messages name an operation of each type, and what not to do twice. */
const OPERATION_WORDS = {
  transaction: { it: 'o pagamento', nothing: 'nada foi cobrado', again: 'cobrar de novo' },
  cancellation: { it: 'o cancelamento', nothing: 'nada foi cancelado', again: 'cancelar de novo' },
  reprint: { it: 'a reimpressão', nothing: 'nada foi impresso', again: 'reimprimir' },
};
/** What a pending payment means for the operator, when the service says nothing more. */
const PENDING_ADVICE = 'O pagamento foi aprovado no cartão e o serviço ainda conclui o registro dele no sistema ' +
  'de vendas: não cobre de novo. O resultado fica disponível pela chave do pagamento.';

/**
 * @typedef {object} DialogueHandlers
 * Each handler may return its answer or a promise of it. Handlers left out get a safe default:
 * a confirmation is acknowledged, a question is answered "Não", a menu or a field cancels.
 * @property {(text: string) => void} [message] a text to show ("" clears the display)
 * @property {(prompt: {message: string, options: string[]}) => (void|Promise<void>)} [confirmation]
 *   a notice the operator acknowledges
 * @property {(prompt: {message: string, options: string[]}) => (string|Promise<string>)} [question]
 *   one of `options` ("Sim", "Não", sometimes "Reimprimir")
 * @property {(prompt: {title: string, options: string[]}) => (string|number|object|Promise<string|number|object>)} [menu]
 *   the chosen option's text or index, or BACK or CANCEL
 * @property {(prompt: CollectPrompt) => (string|object|Promise<string|object>)} [collect]
 *   the typed text, or BACK or CANCEL
 * @property {(data: string) => void} [qrcode] the text of a QR code for the customer to scan
 * @property {(allowed: boolean) => void} [canCancel] whether abort() can cancel now
 * @property {(receipt: {copyNumber: number, lines: string[]}) => void} [receipt]
 *   a receipt copy the service prints through the application
 */

/**
 * @typedef {object} CollectPrompt
 * @property {string} title
 * @property {number} minimum shortest accepted answer, in characters
 * @property {number} maximum longest accepted answer, in characters
 * @property {number} fieldType the TEF library's field code
 * @property {string} fieldOperation "string", "currency", "cmc7", "barcode" or "segurança"
 * @property {boolean} backMenu
 */

/**
 * @typedef {object} TefResult the service's `result` message
 * @property {'result'} type
 * @property {'approved'|'canceled'|'unauthorized'|'pending'} status "pending": approved by the
 *   card, its settlement with the sales back-end not finished yet (the service finishes it by
 *   itself): do not charge again; `message` says what the operator can do
 * @property {string} message
 * @property {string} [idempotency_key] the key of the operation this result is of
 * @property {object[]} [transaction_data] one element per payment, with `payment_id` in the first
 * @property {string} [callbackError] the service's error reply when reporting to the back-end failed
 */

/**
 * @typedef {object} TransactionStatus the service's `transaction_status` reply
 * @property {'transaction_status'} type
 * @property {'running'|'finished'|'pending'|'unknown'} status asked by key, "unknown" means the
 *   service never got that request
 * @property {string} [idempotency_key] the key asked for, or (asked by sale) the newest payment's
 * @property {number} sale_id 0 when the key is unknown
 * @property {TefResult|null} result the kept result ("pending": the result so far, or null)
 * @property {string} [message] with "pending": what the operator can do
 * @property {{idempotency_key: string, status: 'finished'|'pending', result: TefResult|null}[]} [results]
 *   asked by sale: every kept result of the sale, newest first
 */

/**
 * @typedef {object} UnfinishedPayment a payment (or cancellation) this page started and does
 *   not know the outcome of, as kept in sessionStorage; pay(it) or cancelPayment(it) sends the
 *   same request again under the same key
 * @property {string} idempotencyKey
 * @property {'transaction'|'cancellation'} type
 * @property {number} operation
 * @property {number} value
 * @property {number} installments
 * @property {number} [saleId]
 * @property {string} [payerName]
 * @property {string} [nsu] a cancellation's
 * @property {string} [date] a cancellation's
 * @property {boolean} received whether the service is known to have got the request
 */

/**
 * @typedef {object} NorvaneTefOptions
 * @property {DialogueHandlers} [dialogue]
 * @property {(status: 'connecting'|'open'|'reconnecting'|'closed', detail?: string) => void} [onStatus]
 * @property {(direction: 'in'|'out', text: string) => void} [onMessage] every message text, both ways;
 *   an answer to a card field as maskCardAnswer shows it (the service gets it whole)
 * @property {(message: object) => void} [onUnclaimed] a message no request waits for, such as
 *   the result of a payment that a reloaded page had started
 * @property {typeof WebSocket} [WebSocket] the WebSocket class (Node: the `ws` package)
 * @property {number} [replyTimeoutMs] how long a request may go without any message from the
 *   service before it fails (default 20000); a payment's dialogue has no limit once it started
 * @property {number} [connectWaitMs] how long a request waits for a lost connection to come
 *   back (default 15000)
 * @property {number} [firstRetryMs] first pause before reconnecting (default 500; doubles up
 *   to maxRetryMs, 10000)
 * @property {number} [maxRetryMs]
 * @property {{getItem(k: string): string|null, setItem(k: string, v: string): void, removeItem(k: string): void}|null} [storage]
 *   where the keys of unfinished payments are kept across a reload (default: sessionStorage
 *   when the page has it; null keeps them in memory only)
 */

/** An error reply of the service, or a failure to reach it. `reply` is the service's message. */
export class TefError extends Error {
  /** @param {string} message @param {object} [reply] */
  constructor(message, reply) {
    super(message);
    this.name = 'TefError';
    this.reply = reply;
    /** The connection dropped while this request was in flight. */
    this.connectionLost = false;
    /**
     * The service never got this payment: nothing was charged. `payment` is the request, to
     * send again (under its key, which is safe) if the cashier wants to.
     */
    this.notCharged = false;
    /** @type {UnfinishedPayment|undefined} */
    this.payment = undefined;
  }
}

/** A key that names one payment request, so that sending it again never charges twice. */
export function newIdempotencyKey() {
  if (globalThis.crypto?.randomUUID) return globalThis.crypto.randomUUID();
  const bytes = new Uint8Array(16);
  globalThis.crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

function checkKey(key) {
  if (typeof key !== 'string' || key === '' || key.length > MAX_KEY_LENGTH) {
    throw new TypeError(`idempotencyKey must be a text of 1 to ${MAX_KEY_LENGTH} characters`);
  }
  return key;
}

/** The page's sessionStorage, or null where there is none (Node) or the page may not use it. */
function pageStorage() {
  try {
    return globalThis.sessionStorage ?? null;
  } catch {
    return null;  // a sandboxed frame throws on the mere read
  }
}

/**
 * What the answer to a field is, as far as showing it goes: 'card' (a card number: first six
 * and last four digits shown), 'hidden' (an expiry date, a security code, a password: shown as
 * asterisks) or null. By the TEF library's field code, or, for a code of the library's own,
 * by the field's title ("Digite o cartao", "Venc. (MMAA)", "Cod. seg.", "Senha").
 * @param {{fieldType?: number, title?: string, fieldOperation?: string}} prompt
 * @returns {'card'|'hidden'|null}
 */
export function cardFieldKind({ fieldType, title = '', fieldOperation } = {}) {
  if (fieldType === 512 || fieldType === 2021) return 'card';
  if (fieldType === 500 || fieldType === 513 || fieldType === 514 || fieldOperation === 'segurança') return 'hidden';
  const folded = String(title ?? '').normalize('NFD').replace(/\p{M}/gu, '').toLowerCase();
  const words = folded.split(/[^a-z0-9]+/).filter(Boolean);
  const card = words.some((w) => w.startsWith('cart') || w === 'card');
  const code = words.some((w) => w === 'cod' || w.startsWith('codig') || w === 'code');
  const hidden = /mm\/(aa|yy)/.test(folded) || words.some((w) =>
    ['venc', 'valid', 'expir', 'segur', 'senha', 'cvv', 'cvc', 'passw'].some((p) => w.startsWith(p)) ||
    ['seg', 'pin', 'mmaa', 'mmyy'].includes(w));
  if (hidden || (card && code)) return 'hidden';
  return card ? 'card' : null;
}

/** A text of 13 to 19 digits (blanks or hyphens between groups) that passes the Luhn check. */
function isCardNumber(text) {
  if (!/^[0-9][0-9 -]*$/.test(text)) return false;
  const digits = text.replace(/[^0-9]/g, '');
  if (digits.length < 13 || digits.length > 19) return false;
  let sum = 0;
  for (let i = 0; i < digits.length; i += 1) {
    let d = Number(digits[digits.length - 1 - i]);
    if (i % 2 === 1 && (d *= 2) > 9) d -= 9;
    sum += d;
  }
  return sum % 10 === 0;
}

/**
 * The answer to a field as the transcript (onMessage) shows it: a card number with its first
 * six and last four digits, an expiry, a security code or a password as asterisks. Any
 * answer that is a card number is masked, whatever the field.
 * @param {'card'|'hidden'|null} kind @param {string} text
 */
export function maskCardAnswer(kind, text) {
  if (kind === 'hidden') return '*'.repeat(text.length);
  if (kind !== 'card' && !isCardNumber(text)) return text;
  // A short answer is no number to show in part (the last four digits, a code).
  if (text.length <= 10) return '*'.repeat(text.length);
  return text.slice(0, 6) + '*'.repeat(text.length - 10) + text.slice(-4);
}

const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

/** The text that tells a person why the connection could not be made and what to do. */
export function connectionAdvice(url) {
  let page = url;
  try {
    const u = new URL(url);
    page = `https://${u.host}/`;
  } catch { /* an unparsable address is named as given */ }
  return `Não foi possível conectar ao serviço Norvane TEF em ${url}. ` +
    'Verifique se o serviço está em execução nesta máquina. Se estiver, o navegador não confia ' +
    `no certificado dele: abra ${page} e aceite o certificado, ou instale como confiável a ` +
    'autoridade certificadora do serviço (Certificado/ca_cert.pem).';
}

function toBase64(bytes) {
  let binary = '';
  for (let at = 0; at < bytes.length; at += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(at, at + 0x8000));
  }
  return btoa(binary);
}

async function documentBase64(document) {
  if (typeof document === 'string') return document;
  if (document instanceof Uint8Array) return toBase64(document);
  if (document instanceof ArrayBuffer) return toBase64(new Uint8Array(document));
  if (typeof Blob !== 'undefined' && document instanceof Blob) {
    return toBase64(new Uint8Array(await document.arrayBuffer()));
  }
  throw new TypeError('print: pdf must be base64 text, a Uint8Array, an ArrayBuffer or a Blob');
}

/** "2025-11-26" or "2025-11-26 15:48:41" from a Date (local time) or such a text. */
function transactionDate(date) {
  if (typeof date === 'string') return date;
  if (!(date instanceof Date) || Number.isNaN(date.getTime())) {
    throw new TypeError('cancelPayment: date must be a Date or a text "AAAA-MM-DD[ HH:MM:SS]"');
  }
  const two = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${two(date.getMonth() + 1)}-${two(date.getDate())} ` +
    `${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}`;
}

export class NorvaneTef {
  /** @param {NorvaneTefOptions} [options] */
  constructor(options = {}) {
    this.options = options;
    this.dialogue = options.dialogue ?? {};
    this.WebSocket = options.WebSocket ?? globalThis.WebSocket;
    this.replyTimeoutMs = options.replyTimeoutMs ?? 20000;
    this.connectWaitMs = options.connectWaitMs ?? 15000;
    this.firstRetryMs = options.firstRetryMs ?? 500;
    this.maxRetryMs = options.maxRetryMs ?? 10000;
    /** @type {string|null} the session of the last startSession, used by the other calls */
    this.sessionUuid = null;
    /** Whether abort() can cancel the running payment now (the service said so). */
    this.cancellable = false;
    this.url = null;
    this.socket = null;
    this.closedByUs = false;
    this.retryMs = this.firstRetryMs;
    this.retryTimer = null;
    this.everOpened = false;
    this.openWaiters = [];
    this.current = null;       // the request in flight
    this.prompt = null;        // the menu or field the application is answering
    this.aborting = false;     // abort() answered a prompt with CANCEL: confirm the service's question
    this.turn = Promise.resolve();
    this.storage = 'storage' in options ? options.storage : pageStorage();
    /** @type {UnfinishedPayment[]} oldest first */
    this.unfinished = this.loadUnfinished();
  }

  // ---- connection ------------------------------------------------------------------------

  /**
   * Connects to the service and keeps the connection: when it drops, the library reconnects
   * with growing pauses until close(). Rejects when the first attempt fails, saying what to do;
   * the attempts go on, and calls made meanwhile wait for the connection.
   * @param {string} url such as "wss://localhost:8443"
   * @returns {Promise<void>}
   */
  connect(url) {
    if (!this.WebSocket) throw new TefError('Este ambiente não tem WebSocket: passe a opção WebSocket.');
    this.url = url;
    this.closedByUs = false;
    clearTimeout(this.retryTimer);
    const previous = this.socket;
    this.socket = null;
    previous?.close(1000);
    return new Promise((resolve, reject) => {
      this.openWaiters.push({ resolve, reject, rejectOnFailure: true });
      this.open();
    });
  }

  /** Closes the connection for good; a request in flight fails. */
  close() {
    this.closedByUs = true;
    clearTimeout(this.retryTimer);
    const socket = this.socket;
    this.socket = null;
    socket?.close(1000);
    this.failCurrent(new TefError('A conexão com o serviço foi fechada pela aplicação.'));
    for (const waiter of this.openWaiters.splice(0)) {
      waiter.reject(new TefError('A conexão com o serviço foi fechada pela aplicação.'));
    }
    this.announce('closed');
  }

  get connected() { return this.socket?.readyState === 1; }

  open() {
    this.announce(this.everOpened ? 'reconnecting' : 'connecting');
    let socket;
    try {
      socket = new this.WebSocket(this.url);
    } catch (error) {
      this.connectionFailed(new TefError(`Endereço do serviço inválido: ${this.url} (${error.message})`));
      return;
    }
    this.socket = socket;
    let opened = false;
    socket.onopen = () => {
      if (this.socket !== socket) return;
      opened = true;
      this.everOpened = true;
      this.retryMs = this.firstRetryMs;
      this.announce('open');
      for (const waiter of this.openWaiters.splice(0)) waiter.resolve();
    };
    socket.onmessage = (event) => {
      if (this.socket === socket) this.receive(typeof event.data === 'string' ? event.data : String(event.data));
    };
    socket.onerror = () => { /* onclose follows and says what happened */ };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.cancellable = false;
      this.prompt = null;
      if (opened) {
        const lost = new TefError('A conexão com o serviço caiu antes da resposta. ' +
          'Um pagamento em andamento pode ter sido aprovado: confira no sistema de vendas antes de cobrar de novo.');
        lost.connectionLost = true;
        this.failCurrent(lost);
      }
      if (this.closedByUs) return;
      this.connectionFailed(new TefError(connectionAdvice(this.url)), opened);
    };
  }

  connectionFailed(error, wasOpen = false) {
    for (const waiter of this.openWaiters.filter((w) => w.rejectOnFailure)) waiter.reject(error);
    this.openWaiters = this.openWaiters.filter((w) => !w.rejectOnFailure);
    if (this.closedByUs) return;
    this.announce('reconnecting', wasOpen ? 'A conexão com o serviço caiu; reconectando.' : error.message);
    clearTimeout(this.retryTimer);
    this.retryTimer = setTimeout(() => this.open(), this.retryMs);
    this.retryMs = Math.min(this.retryMs * 2, this.maxRetryMs);
  }

  /** Resolves once the connection is open, waiting up to connectWaitMs for a reconnection. */
  whenOpen() {
    if (this.connected) return Promise.resolve();
    if (this.closedByUs || this.url === null) {
      return Promise.reject(new TefError('Sem conexão com o serviço: chame connect(url) antes.'));
    }
    return new Promise((resolve, reject) => {
      const waiter = {
        resolve: () => { clearTimeout(timer); resolve(); },
        reject: (e) => { clearTimeout(timer); reject(e); },
        rejectOnFailure: false,
      };
      const timer = setTimeout(() => {
        this.openWaiters = this.openWaiters.filter((w) => w !== waiter);
        reject(new TefError(connectionAdvice(this.url)));
      }, this.connectWaitMs);
      this.openWaiters.push(waiter);
    });
  }

  announce(state, detail) { this.options.onStatus?.(state, detail); }

  /** `shown`, when given, is what onMessage sees instead (an answer to a card field, masked). */
  send(message, shown) {
    const text = JSON.stringify(message);
    this.options.onMessage?.('out', shown ? JSON.stringify(shown) : text);
    this.socket.send(text);
  }

  // ---- requests --------------------------------------------------------------------------

  /**
   * Runs one request when the previous ones have ended. `message` is built then (a function
   * may read the session opened by a request before it). `settle(reply, call)` says what a
   * reply means for it: 'resolve', 'keep' (part of the reply, wait on) or undefined (an error
   * reply rejects; anything else is not its reply). `then` sends what must follow it at once.
   * `payment()`, read once the message is built, is the payment the request is about: the
   * first dialogue message marks it received.
   */
  request(build, { settle, transaction = false, then, payment } = {}) {
    const run = async () => {
      await this.whenOpen();
      const message = typeof build === 'function' ? build() : build;
      return new Promise((resolve, reject) => {
        const call = {
          message, settle, transaction, resolve, reject, heard: false, timer: null, callbackError: null,
          payment: payment?.() ?? null,
        };
        this.current = call;
        this.armReplyTimer(call);
        try {
          this.send(message);
          then?.();
        } catch (error) {
          this.finish(call);
          reject(new TefError(`Falha ao enviar ao serviço: ${error.message}`));
        }
      });
    };
    const outcome = this.turn.then(run, run);
    this.turn = outcome.catch(() => {});
    return outcome;
  }

  armReplyTimer(call) {
    clearTimeout(call.timer);
    call.timer = setTimeout(() => {
      if (this.current !== call) return;
      this.finish(call);
      call.reject(new TefError(`O serviço não respondeu a ${call.message.route} em ` +
        `${Math.round(this.replyTimeoutMs / 1000)} s. Outra operação pode estar em andamento ` +
        '(por exemplo, a de uma página recarregada): aguarde o fim dela e tente de novo.'));
    }, this.replyTimeoutMs);
  }

  finish(call) {
    clearTimeout(call.timer);
    if (this.current !== call) return;
    this.current = null;
    this.aborting = false;
    this.cancellable = false;
    // A prompt still open when the operation ended (the service gave up waiting for it) is
    // answered by nobody: an answer now would reach the service as a new request.
    this.prompt = null;
  }

  failCurrent(error) {
    const call = this.current;
    if (!call) return;
    this.finish(call);
    call.reject(error);
  }

  sessionMember() {
    if (!this.sessionUuid) throw new TefError('Nenhuma sessão aberta: chame startSession(token) antes.');
    return this.sessionUuid;
  }

  /**
   * Opens a session with a token signed by the sales back-end.
   * @param {string} token
   * @returns {Promise<{type: 'session', status: 'created', message: string, expiration: string,
   *   session_uuid: string, store_code: string, terminal_number: string}>}
   */
  async startSession(token) {
    const reply = await this.request({ route: '/session/start', type: 'session', token }, {
      settle: (m) => (m.type === 'session' && m.status === 'created' ? 'resolve' : undefined),
    });
    this.sessionUuid = reply.session_uuid;
    // Kept to start a session again after a drop in the middle of a payment.
    this.token = token;
    return reply;
  }

  /**
   * How an operation ended. By `idempotencyKey`: that payment only, "running", "finished" with
   * its `result` as the service sent it, "pending" (do not charge again) or "unknown" (the
   * service never got it). By sale id (a number, or `{saleId}`; neither: the session's sale):
   * the sale's newest operation, with `results`, every kept result of the sale. A sale can be
   * paid in parts, so only the key tells which payment an answer is about: resumePayment()
   * asks by it.
   * @param {number|{idempotencyKey?: string, saleId?: number}} [which]
   * @returns {Promise<TransactionStatus>}
   */
  status(which) {
    const { idempotencyKey, saleId } = typeof which === 'object' && which !== null ? which : { saleId: which };
    if (idempotencyKey !== undefined && saleId !== undefined) {
      return Promise.reject(new TypeError('status: give either idempotencyKey or saleId'));
    }
    return this.request(() => ({
      route: '/transaction/status', type: 'status', session_uuid: this.sessionMember(),
      ...(idempotencyKey !== undefined && { idempotency_key: checkKey(idempotencyKey) }),
      ...(saleId !== undefined && { sale_id: saleId }),
    }), { settle: (m) => (m.type === 'transaction_status' ? 'resolve' : undefined) });
  }

  /** Closes the session. @returns {Promise<{type: 'session', status: 'finished', message: string}>} */
  async finishSession() {
    const reply = await this.request(
      () => ({ route: '/session/finish', type: 'session', session_uuid: this.sessionMember() }),
      { settle: (m) => (m.type === 'session' && m.status === 'finished' ? 'resolve' : undefined) });
    this.sessionUuid = null;
    return reply;
  }

  /**
   * Takes a payment. `operation` is the TEF function code (2 debit, 3 credit, 122 Pix, 1 check,
   * 0 a menu of them). Resolves with the result, whatever its status ("pending": do not charge
   * again); rejects with the service's error reply. `idempotencyKey` names this payment (one is
   * made when none is given): the same request sent again with it gets that payment's outcome,
   * never a second charge. The key is kept in sessionStorage from before the request leaves
   * until the outcome is known (see unfinishedPayment()).
   * When the connection drops before the result, the library reconnects, starts a session
   * with the last token and asks how the payment of this key ended, never the sale's newest
   * (a sale paid in parts has several). Rejects with `notCharged` when the service never got
   * the request.
   * @param {{operation: number, value: number, installments?: number, payerName?: string, saleId?: number, idempotencyKey?: string}} sale
   * @returns {Promise<TefResult>}
   */
  async pay({ operation, value, installments = 0, payerName = '', saleId, idempotencyKey = newIdempotencyKey() } = {}) {
    return this.operate({
      type: 'transaction', operation, payer_name: payerName, transaction_value: value, number_of_installments: installments,
      ...(saleId !== undefined && { sale_id: saleId }),
    }, checkKey(idempotencyKey), {
      type: 'transaction', operation, value, installments, ...(saleId !== undefined && { saleId }), payerName,
    });
  }

  /**
   * Cancels an earlier sale (the TEF library then asks for the card). Keyed, kept and
   * recovered after a drop as pay() is.
   * @param {{operation: number, nsu: string, date: Date|string, value: number, installments?: number, saleId?: number, idempotencyKey?: string}} sale
   * @returns {Promise<TefResult>}
   */
  async cancelPayment({ operation, nsu, date, value, installments = 0, saleId, idempotencyKey = newIdempotencyKey() } = {}) {
    const when = transactionDate(date);
    return this.operate({
      type: 'cancellation', operation, cancellation_nsu: nsu, transaction_date: when,
      transaction_value: value, number_of_installments: installments,
      ...(saleId !== undefined && { sale_id: saleId }),
    }, checkKey(idempotencyKey), {
      type: 'cancellation', operation, nsu, date: when, value, installments, ...(saleId !== undefined && { saleId }),
    });
  }

  /**
   * Reprints a receipt: operation 113 the last one, 114 a chosen one, 112 a menu. It moves no
   * money, so its key is not kept across a reload.
   * @param {{operation?: number, idempotencyKey?: string}} [what]
   * @returns {Promise<TefResult>}
   */
  async reprint({ operation = 113, idempotencyKey = newIdempotencyKey() } = {}) {
    return this.operate({ type: 'reprint', operation }, checkKey(idempotencyKey), null);
  }

  /**
   * The newest payment this page started and does not know the outcome of (one whose result
   * was "pending", or one in flight when the page was reloaded), or null. Give it to
   * resumePayment() to learn how it ended.
   * @returns {UnfinishedPayment|null}
   */
  unfinishedPayment() {
    const payment = this.unfinished.at(-1);
    return payment ? { ...payment } : null;
  }

  /**
   * Learns how an unfinished payment ended, by its key (default: the newest one), and resolves
   * as pay() would have: the result ("pending" keeps it unfinished), or a rejection with
   * `notCharged` when the service never got it. Needs a session.
   * @param {{idempotencyKey?: string}} [which]
   * @returns {Promise<TefResult>}
   */
  async resumePayment({ idempotencyKey } = {}) {
    const payment = idempotencyKey === undefined ? this.unfinished.at(-1)
      : this.unfinished.find((p) => p.idempotencyKey === idempotencyKey);
    if (!payment) throw new TefError('Nenhum pagamento sem resultado conhecido nesta página.');
    return this.follow(payment, null);
  }

  /**
   * Sends one "/transaction" under `key` and resolves with that operation's outcome. `kept`
   * (the request as the page would send it again) is written to the storage before the
   * request leaves and dropped once the outcome is known.
   */
  async operate(fields, key, kept) {
    let payment = { idempotencyKey: key, type: fields.type, received: false };
    let ours = false;
    const build = () => {
      const message = { route: '/transaction', ...fields, session_uuid: this.sessionMember(), idempotency_key: key };
      if (kept) {
        // A key the page already holds stays as it is: the service refuses it for another
        // request, and that refusal must not drop the payment it belongs to.
        const known = this.unfinished.find((p) => p.idempotencyKey === key);
        if (known) payment = known;
        else {
          payment = { idempotencyKey: key, ...kept, received: false };
          this.unfinished.push(payment);
          this.saveUnfinished();
          ours = true;
        }
      }
      return message;
    };
    let reply;
    try {
      reply = await this.request(build, {
        transaction: true,
        payment: () => payment,
        settle: (m, call) => {
          // A result names its operation by key. One without (from a service before keys) is
          // this request's once its dialogue began: before it, it is an earlier operation's tail.
          if (m.type === 'result') {
            return (m.idempotency_key === undefined ? call.heard : m.idempotency_key === key) ? 'resolve' : undefined;
          }
          // The key sent again while its payment runs or is pending.
          return m.type === 'transaction_status' && m.idempotency_key === key ? 'resolve' : undefined;
        },
      });
    } catch (error) {
      if (!(error instanceof TefError)) throw error;
      if (error.connectionLost && this.token && !this.closedByUs) return this.follow(payment, error);
      // Refused by the service: nothing runs under this key for this request.
      if (ours && error.reply?.type === 'error') this.forget(payment);
      throw error;
    }
    if (reply.type === 'transaction_status') return this.follow(payment, null, reply);
    if (reply.status === 'pending') this.markReceived(payment);
    else this.forget(payment);
    return reply;
  }

  /**
   * Asks the service by the payment's key until it is no longer running, and resolves with its
   * result. `lost` is the dropped connection's error (a session is started again first);
   * `reply` a status the service already gave.
   */
  async follow(payment, lost, reply = null) {
    const key = payment.idempotencyKey;
    const { it, nothing, again } = OPERATION_WORDS[payment.type] ?? OPERATION_WORDS.transaction;
    const ask = async (first) => {
      try {
        if (first && lost) await this.startSession(this.token);
        return await this.status({ idempotencyKey: key });
      } catch (error) {
        const failed = new TefError(`${lost ? `${lost.message} ` : ''}Não foi possível saber como ${it} ` +
          `terminou: ${error.message}`);
        failed.connectionLost = Boolean(lost);
        throw failed;
      }
    };
    const outcome = (message) => {
      const error = new TefError(message, reply);
      error.connectionLost = Boolean(lost);
      return error;
    };
    for (let first = true; ; first = false) {
      if (!first || !reply) {
        if (!first) await pause(this.firstRetryMs);  // still running: the service ends it first
        reply = await ask(first);
      }
      const about = reply.idempotency_key !== key ? reply.idempotency_key : reply.result?.idempotency_key ?? key;
      if (about !== key) {
        // An answer about another payment (a service that answers by sale) must never be taken
        // for this one: on a sale paid in parts it is another card's receipt.
        throw outcome(`O serviço respondeu sobre outra operação (chave ${JSON.stringify(about ?? null)} em vez ` +
          `de "${key}"): confira no sistema de vendas antes de ${again}.`);
      }
      switch (reply.status) {
        case 'running':
          this.markReceived(payment);
          continue;
        case 'finished':
          if (!reply.result) {
            throw outcome(`O serviço diz que ${it} terminou, mas não mandou o resultado: confira no sistema de vendas ` +
              `antes de ${again}.`);
          }
          this.forget(payment);
          return reply.result;
        case 'pending':
          this.markReceived(payment);
          return {
            ...(reply.result ?? {}), type: 'result', status: 'pending',
            message: reply.message ?? reply.result?.message ?? PENDING_ADVICE, idempotency_key: key,
          };
        case 'unknown': {
          this.forget(payment);
          if (payment.received) {
            // The service had it (its dialogue began) and has lost it since: that it never
            // charged cannot be told from here.
            throw outcome(`${lost ? 'A conexão com o serviço caiu antes da resposta e o' : 'O'} serviço não sabe como ` +
              `${it} terminou: confira no sistema de vendas antes de ${again}.`);
          }
          // Never got, so nothing ran. Not sent again by the library: the cashier may have
          // taken another card or cash meanwhile.
          const error = outcome(`O serviço não recebeu ${it}: ${nothing}. Pode tentar de novo; com a mesma chave ` +
            '(error.payment), a repetição é segura.');
          error.notCharged = true;
          const { received, ...request } = payment;
          error.payment = request;
          throw error;
        }
        default:
          throw outcome(`O serviço deu uma situação desconhecida (${reply.status}) para ${it}: confira no sistema ` +
            `de vendas antes de ${again}.`);
      }
    }
  }

  // ---- unfinished payments, kept across a reload --------------------------------------------

  loadUnfinished() {
    try {
      const list = JSON.parse(this.storage?.getItem(UNFINISHED_ITEM) ?? '[]');
      return Array.isArray(list) ? list.filter((p) => typeof p?.idempotencyKey === 'string') : [];
    } catch {
      return [];  // unreadable: nothing the library wrote
    }
  }

  saveUnfinished() {
    if (!this.storage) return;
    try {
      if (this.unfinished.length) this.storage.setItem(UNFINISHED_ITEM, JSON.stringify(this.unfinished));
      else this.storage.removeItem(UNFINISHED_ITEM);
    } catch (error) {
      // A full or refused storage keeps the key in memory only: pay() still recovers it, a
      // reloaded page cannot.
      console.warn('norvane-tef: could not keep the unfinished payment in sessionStorage:', error);
    }
  }

  markReceived(payment) {
    if (payment.received) return;
    payment.received = true;
    if (this.unfinished.includes(payment)) this.saveUnfinished();
  }

  forget(payment) {
    const before = this.unfinished.length;
    this.unfinished = this.unfinished.filter((p) => p.idempotencyKey !== payment.idempotencyKey);
    if (this.unfinished.length !== before) this.saveUnfinished();
  }

  /**
   * Asks the service to abandon the running payment. While the card is awaited this sends the
   * cancellation; while a menu or field is open it answers that prompt with CANCEL and
   * confirms. The payment's own promise then resolves with status "canceled".
   * Rejects when nothing can be cancelled now.
   * @returns {Promise<void>}
   */
  async abort() {
    // A payment that this client did not start (one of a page before a reload) can be
    // cancelled too: the service's dialogue says when.
    if (this.prompt) {
      this.aborting = true;
      this.prompt.cancel();
      return;
    }
    if (this.cancellable && this.connected) {
      const message = { route: '/transaction/cancel', type: 'cancellation' };
      if (this.sessionUuid) message.session_uuid = this.sessionUuid;
      this.send(message);
      // Once is enough: the service does not always say that cancelling stopped being allowed.
      this.cancellable = false;
      return;
    }
    if (!this.current?.transaction) throw new TefError('Nenhum pagamento em andamento para cancelar.');
    throw new TefError('O pagamento não pode ser cancelado neste momento: aguarde o pedido do cartão.');
  }

  /**
   * Prints a PDF or a receipt layout on the workstation's printer. The service answers only
   * refusals, so the library follows the request with a version query: its reply proves that
   * the print was taken without an error.
   * @param {{pdf?: string|Uint8Array|ArrayBuffer|Blob, layout?: string}} document
   * @returns {Promise<void>}
   */
  async print({ pdf, layout } = {}) {
    if ((pdf === undefined) === (layout === undefined)) {
      throw new TypeError('print: give either pdf or layout');
    }
    const data = pdf !== undefined
      ? await documentBase64(pdf)
      : toBase64(new TextEncoder().encode(layout));
    const errors = [];
    await this.request({ route: '/print', type: 'print', data, file_type: pdf !== undefined ? 'pdf' : 'gdi' }, {
      settle: (m) => {
        if (m.type === 'error') { errors.push(m.message); return 'keep'; }
        return m.type === 'version' ? 'resolve' : undefined;
      },
      then: () => this.send({ route: '/version', type: 'version', category: 'service_exe' }),
    });
    if (errors.length) throw new TefError(errors.join(' '), { type: 'error', message: errors.join(' ') });
  }

  /**
   * The installed version of the service ("service_exe") or of the TEF library
   * ("clisitef_dll"); offering a newer version with its download address records an update.
   * @param {{category?: 'service_exe'|'clisitef_dll', version?: string, downloadUrl?: string}} [query]
   * @returns {Promise<{type: 'version', category: string, version: string, updating: boolean, pdv_number: string}>}
   */
  version({ category = 'service_exe', version, downloadUrl } = {}) {
    const message = { route: '/version', type: 'version', category };
    if (version !== undefined && downloadUrl !== undefined) {
      message.version = version;
      message.download_url = downloadUrl;
    }
    return this.request(message, { settle: (m) => (m.type === 'version' ? 'resolve' : undefined) });
  }

  /** @returns {Promise<{type: 'status', status: 'connected'|'disconnected'|'error'|'', message: string}>} */
  pinpadStatus() {
    return this.request(() => ({ route: '/pinpad/status', type: 'status', session_uuid: this.sessionMember() }),
      { settle: (m) => (m.type === 'status' ? 'resolve' : undefined) });
  }

  // ---- incoming messages -----------------------------------------------------------------

  receive(text) {
    this.options.onMessage?.('in', text);
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;  // the service writes only JSON; anything else is not ours to act on
    }
    if (message === null || typeof message !== 'object' || Array.isArray(message)) return;
    const call = this.current;
    if (call) {
      if (this.isDialogue(message)) {
        call.heard = true;
        if (call.payment) this.markReceived(call.payment);
      }
      if (!call.transaction) this.armReplyTimer(call);
      else if (call.heard) clearTimeout(call.timer);  // a payment's dialogue may last as long as the customer needs
    }
    if (this.isDialogue(message)) {
      this.converse(message);
      return;
    }
    if (!call) {
      this.options.onUnclaimed?.(message);
      return;
    }
    if (message.type === 'error' && call.transaction && String(message.message).startsWith(CALLBACK_ERROR_PREFIX)) {
      call.callbackError = message.message;
      return;
    }
    const verdict = call.settle(message, call);
    if (verdict === 'resolve') {
      this.finish(call);
      if (call.callbackError) message.callbackError = call.callbackError;
      call.resolve(message);
    } else if (verdict === 'keep') {
      // part of the reply; the request goes on
    } else if (message.type === 'error') {
      this.finish(call);
      call.reject(new TefError(String(message.message), message));
    } else {
      this.options.onUnclaimed?.(message);
    }
  }

  isDialogue(message) {
    return ['message', 'confirmation', 'question', 'menu', 'collect', 'qrcode', 'can_cancel', 'receipt']
      .includes(message.type);
  }

  async converse(message) {
    const handlers = this.dialogue;
    switch (message.type) {
      case 'message': handlers.message?.(String(message.message ?? '')); return;
      case 'qrcode': handlers.qrcode?.(String(message.data ?? '')); return;
      case 'can_cancel':
        this.cancellable = message.can_cancel === true;
        handlers.canCancel?.(this.cancellable);
        return;
      case 'receipt':
        handlers.receipt?.({ copyNumber: message.copy_number, lines: message.data ?? [] });
        return;
      case 'confirmation':
        await this.ask(handlers.confirmation, { message: message.message, options: message.options ?? [] }, undefined);
        this.answer({ route: '/transaction', type: 'confirmation' });
        return;
      case 'question': {
        const options = message.options ?? [];
        const no = options.find((o) => o === 'Não') ?? options[options.length - 1];
        let response;
        if (this.aborting && message.message === CANCEL_CONFIRMATION) {
          this.aborting = false;
          response = 'Sim';
        } else {
          response = await this.ask(handlers.question, { message: message.message, options }, no);
          if (!options.includes(response)) response = no;
        }
        this.answer({ route: '/transaction', type: 'question', response });
        return;
      }
      case 'menu': {
        const options = message.options ?? [];
        const choice = await this.askCancellable(handlers.menu, { title: message.title, options });
        if (choice === BACK) this.answer({ route: '/transaction', type: 'menu', response: '', back_menu: true });
        else if (choice === CANCEL) this.answer({ route: '/transaction', type: 'menu', response: '', back_menu: false });
        else {
          const text = typeof choice === 'number' ? options[choice] : choice;
          this.answer({ route: '/transaction', type: 'menu', response: String(text ?? ''), back_menu: false });
        }
        return;
      }
      case 'collect': {
        const prompt = {
          title: message.title, minimum: message.minimum_size, maximum: message.maximum_size,
          fieldType: message.field_type, fieldOperation: message.field_operation, backMenu: message.back_menu === true,
        };
        const typed = await this.askCancellable(handlers.collect, prompt);
        if (typed === BACK || typed === CANCEL) {
          this.answer({ route: '/transaction', type: 'collect', typed: false, response: '', back_menu: typed === BACK });
        } else {
          const reply = { route: '/transaction', type: 'collect', typed: true, response: String(typed ?? ''), back_menu: false };
          // The service gets the card data; the transcript (a page's message log) never does.
          this.answer(reply, { ...reply, response: maskCardAnswer(cardFieldKind(prompt), reply.response) });
        }
        return;
      }
      default:
    }
  }

  /** Calls a dialogue handler; a missing or failing handler gives `fallback`. */
  async ask(handler, prompt, fallback) {
    if (!handler) return fallback;
    try {
      return await handler(prompt);
    } catch (error) {
      console.error('norvane-tef: dialogue handler failed', error);
      return fallback;
    }
  }

  /** A menu or field: the application's answer, or CANCEL when abort() comes first. */
  askCancellable(handler, prompt) {
    return new Promise((resolve) => {
      const entry = { cancel: () => { if (this.prompt === entry) this.prompt = null; resolve(CANCEL); } };
      this.prompt = entry;
      this.ask(handler, prompt, CANCEL).then((answer) => {
        if (this.prompt !== entry) return;  // abort() answered already
        this.prompt = null;
        resolve(answer);
      });
    });
  }

  answer(message, shown) {
    if (this.connected) this.send(message, shown);
  }
}

/**
 * Creates a client and connects it.
 * @param {string} url @param {NorvaneTefOptions} [options]
 * @returns {Promise<NorvaneTef>}
 */
export async function connect(url, options) {
  const tef = new NorvaneTef(options);
  await tef.connect(url);
  return tef;
}
