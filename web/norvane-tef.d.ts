// Type declarations of norvane-tef.js, the browser client of the Norvane TEF Server, for
// sales applications written in TypeScript. Written by hand beside the module;
// test/package.test.mjs checks that every name declared here is what the module exports and
// that the sample in types/ compiles against them.

/** Answer a menu or a field with this to go back to the previous question. */
export declare const BACK: Readonly<{ answer: 'back' }>;
/** Answer a menu or a field with this to cancel the operation (the service asks to confirm). */
export declare const CANCEL: Readonly<{ answer: 'cancel' }>;

/** What a menu or field handler may answer besides its text. */
export type DialogueAnswer = typeof BACK | typeof CANCEL;

/** A field the TEF library asks the operator to type. */
export interface CollectPrompt {
  title: string;
  /** Shortest accepted answer, in characters. */
  minimum: number;
  /** Longest accepted answer, in characters. */
  maximum: number;
  /** The TEF library's field code. */
  fieldType: number;
  /** "string", "currency", "cmc7" (a check: "1:" + CMC7 line, or "0:" + its 29 digits), "barcode" or "segurança". */
  fieldOperation: string;
  backMenu: boolean;
}

/**
 * The TEF dialogue, drawn by the application. Each handler may return its answer or a promise
 * of it. A handler left out gets a safe default: a confirmation is acknowledged, a question is
 * answered "Não", a menu or a field cancels.
 */
export interface DialogueHandlers {
  /** A text to show ("" clears the display). */
  message?(text: string): void;
  /** A notice to acknowledge (a decline's reason, for one); resolve when acknowledged. */
  confirmation?(prompt: { message: string; options: string[] }): void | Promise<void>;
  /** A yes/no question: answer one of `options` ("Sim", "Não"…). */
  question?(prompt: { message: string; options: string[] }): string | Promise<string>;
  /** A menu: answer an option's text or index, BACK or CANCEL. */
  menu?(prompt: { title: string; options: string[] }): string | number | DialogueAnswer | Promise<string | number | DialogueAnswer>;
  /** A field: answer the typed text, BACK or CANCEL. */
  collect?(prompt: CollectPrompt): string | DialogueAnswer | Promise<string | DialogueAnswer>;
  /** The text of a QR code for the customer to scan (Pix "copia e cola"). */
  qrcode?(data: string): void;
  /** Whether abort() can cancel now (while the card is awaited, or a QR code to be paid). */
  canCancel?(allowed: boolean): void;
  /** A receipt copy the service sends during the operation. */
  receipt?(receipt: { copyNumber: number; lines: string[] }): void;
}

export type ConnectionState = 'connecting' | 'open' | 'reconnecting' | 'closed';

export interface NorvaneTefOptions {
  dialogue?: DialogueHandlers;
  /** The connection's state, with a text for a person when it failed. */
  onStatus?(state: ConnectionState, detail?: string): void;
  /** Every message text, both ways (for a log). */
  onMessage?(direction: 'in' | 'out', text: string): void;
  /** A message no request waits for, such as the end of an operation an earlier page started. */
  onUnclaimed?(message: ServiceMessage): void;
  /** The WebSocket class (in Node: the `ws` package's, given the service's CA). */
  WebSocket?: new (url: string) => WebSocket;
  /** How long a request may go without any message from the service (default 20000 ms). */
  replyTimeoutMs?: number;
  /** How long a request waits for a lost connection to come back (default 15000 ms). */
  connectWaitMs?: number;
  /** First pause before reconnecting (default 500 ms; doubles up to maxRetryMs). */
  firstRetryMs?: number;
  /** Longest pause between reconnections (default 10000 ms). */
  maxRetryMs?: number;
  /**
   * Where the keys of unfinished payments are kept across a reload (default: sessionStorage
   * when the page has it; null keeps them in memory only).
   */
  storage?: { getItem(key: string): string | null; setItem(key: string, value: string): void; removeItem(key: string): void } | null;
}

/** A copy of a receipt: its number (1 the establishment's, 2 the customer's) and its lines. */
export interface ReceiptCopy {
  copy_number: number;
  data: string[];
}

/** One payment of a result (a reprint carries only sale_id, operation and receipt). */
export interface TransactionData {
  sale_id: number;
  operation: 'debit' | 'credit' | 'pix' | 'cancellation' | 'reprint';
  /** Masked: the first six and last four digits (debit and credit). */
  card_number?: string;
  /** The card network. */
  operator?: string;
  /** The NSU of the sale a cancellation undid. */
  canceled_nsu?: string;
  payer_name?: string;
  institution?: string;
  payment_method_code?: string;
  payment_method_description?: string;
  hash?: string;
  nsu_code?: string;
  authorization_code?: string;
  establishment_code?: string;
  number_of_installments?: number;
  transaction_value?: number;
  /** UTC, "2026-12-09T13:45:00Z". */
  transaction_date_time?: string;
  gateway?: string;
  receipt: ReceiptCopy[];
  /** Given by the sales back-end's answer to the report (first element; 0 when it gave none). */
  payment_id?: number;
  company_id?: number;
}

/** The service's `result` message: how an operation ended. */
export interface TefResult {
  type: 'result';
  /** "pending": approved and decided, its settlement left to the service; never charge it again. */
  status: 'approved' | 'canceled' | 'unauthorized' | 'pending';
  message: string;
  /** The key of the operation this result is of. */
  idempotency_key?: string;
  transaction_data?: TransactionData[];
  /** The service's error reply when reporting to the sales back-end failed (the payment was undone). */
  callbackError?: string;
}

export interface SessionCreated {
  type: 'session';
  status: 'created';
  message: string;
  expiration: string;
  session_uuid: string;
  store_code: string;
  terminal_number: string;
}

export interface SessionFinished {
  type: 'session';
  status: 'finished';
  message: string;
}

/** "/transaction/status": how a payment (asked by key) or a sale's newest operation stands. */
export interface TransactionStatus {
  type: 'transaction_status';
  /** Asked by key, "unknown" means the service never got the request: nothing was charged. */
  status: 'running' | 'finished' | 'pending' | 'unknown';
  /** The key asked for, or (asked by sale) the newest operation's. */
  idempotency_key?: string;
  /** 0 when the key is unknown. */
  sale_id: number;
  /** The kept result ("pending": the result so far, or null). */
  result: TefResult | null;
  /** With "pending": what it waits for and what the operator can do. */
  message?: string;
  /** Asked by sale: each payment of the sale, the pending ones first, then the finished newest first. */
  results?: { idempotency_key: string; status: 'finished' | 'pending'; result: TefResult | null }[];
}

/** A payment (or cancellation) this page started and does not know the outcome of. */
export interface UnfinishedPayment {
  idempotencyKey: string;
  type: 'transaction' | 'cancellation';
  operation: number;
  value: number;
  installments: number;
  saleId?: number;
  payerName?: string;
  /** A cancellation's. */
  nsu?: string;
  /** A cancellation's. */
  date?: string;
  /** Whether the service is known to have got the request. */
  received: boolean;
}

export interface VersionReply {
  type: 'version';
  category: 'service_exe' | 'clisitef_dll';
  /** "1.0.0.1", or "Versão não encontrada". */
  version: string;
  updating: boolean;
  pdv_number: string;
}

export interface PinpadStatus {
  type: 'status';
  status: 'connected' | 'disconnected' | 'error' | '';
  message: string;
}

/** Any message of the service: every one starts with `type`. */
export interface ServiceMessage {
  type: string;
  [member: string]: unknown;
}

export interface Sale {
  /** The TEF function: 2 debit, 3 credit, 122 Pix, 1 check, 0 a menu of them. */
  operation: number;
  value: number;
  /** 0 or 1 pay at once. */
  installments?: number;
  payerName?: string;
  saleId?: number;
  /** One per payment attempt; the library makes one when none is given. */
  idempotencyKey?: string;
}

export interface Cancellation {
  operation: number;
  /** The NSU of the sale to undo. */
  nsu: string;
  /** When it was made: a Date (local time) or "AAAA-MM-DD[ HH:MM:SS]". */
  date: Date | string;
  value: number;
  installments?: number;
  saleId?: number;
  idempotencyKey?: string;
}

export interface PrintDocument {
  /** A PDF: base64 text, or its bytes. */
  pdf?: string | Uint8Array | ArrayBuffer | Blob;
  /** A receipt layout (XML; see the README's "Designing receipts"). */
  layout?: string;
}

export interface VersionQuery {
  category?: 'service_exe' | 'clisitef_dll';
  /** A newer version on offer: four numbers. */
  version?: string;
  /** Where the newer version is: an http(s):// address. */
  downloadUrl?: string;
}

/** An error reply of the service, or a failure to reach it. */
export declare class TefError extends Error {
  constructor(message: string, reply?: ServiceMessage);
  name: 'TefError';
  /** The service's error reply, when there was one. */
  reply?: ServiceMessage;
  /** The connection dropped while this request was in flight. */
  connectionLost: boolean;
  /** The service never got this payment: nothing was charged. */
  notCharged: boolean;
  /** The request, to send again under its key (which is safe) if the cashier wants to. */
  payment?: UnfinishedPayment;
}

/** A key that names one payment request, so that sending it again never charges twice. */
export declare function newIdempotencyKey(): string;

/** What an answer to a field is for showing: a card number, hidden (expiry, code, password), or neither. */
export declare function cardFieldKind(field?: { fieldType?: number; title?: string; fieldOperation?: string }): 'card' | 'hidden' | null;

/** An answer as the transcript shows it: a card number as first six and last four, hidden ones as asterisks. */
export declare function maskCardAnswer(kind: 'card' | 'hidden' | null, text: string): string;

/** The text that tells a person why the connection could not be made and what to do. */
export declare function connectionAdvice(url: string): string;

/**
 * One connection to the service, one request at a time (a call made while another runs waits
 * for it), the payment dialogue handed to the application's handlers.
 */
export declare class NorvaneTef {
  constructor(options?: NorvaneTefOptions);
  /** Connects, and reconnects by itself after a drop until close(); rejects when the first attempt fails. */
  connect(url: string): Promise<void>;
  /** Closes the connection for good; a request in flight fails. */
  close(): void;
  readonly connected: boolean;
  /** Opens a session with a token the sales back-end signed. */
  startSession(token: string): Promise<SessionCreated>;
  finishSession(): Promise<SessionFinished>;
  /**
   * By `idempotencyKey`, how that payment stands; by sale id (or neither: the session's sale),
   * the sale's newest operation with `results`. Only the key tells which payment an answer is about.
   */
  status(which?: number | { idempotencyKey: string } | { saleId?: number }): Promise<TransactionStatus>;
  /** Takes a payment; a connection that drops before the result is recovered by its key. */
  pay(sale: Sale): Promise<TefResult>;
  /** Undoes an earlier sale. */
  cancelPayment(cancellation: Cancellation): Promise<TefResult>;
  /** Reprints a receipt: 113 the last one (default), 114 a chosen one, 112 a menu. */
  reprint(what?: { operation?: number; idempotencyKey?: string }): Promise<TefResult>;
  /** The newest payment this page started and does not know the outcome of, or null. */
  unfinishedPayment(): UnfinishedPayment | null;
  /** Learns how an unfinished payment ended, by its key (default: the newest), as pay() would. */
  resumePayment(which?: { idempotencyKey?: string }): Promise<TefResult>;
  /** Cancels while the card is awaited, or answers an open menu or field with CANCEL; rejects otherwise. */
  abort(): Promise<void>;
  /** Resolves once the service accepted the document. */
  print(document: PrintDocument): Promise<void>;
  version(query?: VersionQuery): Promise<VersionReply>;
  pinpadStatus(): Promise<PinpadStatus>;
}

/** Creates a client and connects it. */
export declare function connect(url: string, options?: NorvaneTefOptions): Promise<NorvaneTef>;
