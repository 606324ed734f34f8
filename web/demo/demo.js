// The demo sales page: a cashier's screen on top of norvane-tef.js. The back-end that serves
// it mints the session tokens and receives the payment reports (server.mjs).
import { BACK, NorvaneTef, cardFieldKind } from '/norvane-tef.js';
import qrcode from '/vendor/qrcode.mjs';

const $ = (id) => document.getElementById(id);
const STATUS_TEXT = {
  approved: 'Aprovada', canceled: 'Cancelada', unauthorized: 'Não autorizada',
  pending: 'Pendente: o serviço termina a liquidação; não cobre de novo',
};
const REPRINT_STATUS_TEXT = { approved: 'Reimpressão concluída', canceled: 'Reimpressão cancelada', unauthorized: 'Reimpressão não realizada' };
const OPERATION_TEXT = { debit: 'Débito', credit: 'Crédito', pix: 'Pix', cancellation: 'Cancelamento', reprint: 'Reimpressão' };
const SESSION_ERRORS = ['Sessão inválida.', 'Sessão expirada.'];
const money = new Intl.NumberFormat('pt-BR', { style: 'currency', currency: 'BRL' });

let tef;
let config;
let paying = false;
let lastResult = null;
/** The sale on screen: the number the next payment uses, reserved with the back-end. */
let saleId = null;
let saleReady = null;
/** The last message from the service, parsed, for the members the library does not hand on. */
let lastIncoming = null;
/** The last notice of the TEF library during the running transaction (why it was declined…). */
let lastNotice = '';
/** Whether the notice under the buttons is the library's own text (an empty message clears it). */
let noticeFromTef = false;
/** Moments of the last payment, for the benchmark: click, messages in and out, result shown. */
window.demoTimings = [];

// ---- back-end ------------------------------------------------------------------------------

async function api(method, path) {
  const response = await fetch(path, { method, headers: { 'content-type': 'application/json' }, body: method === 'POST' ? '{}' : undefined });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.message ?? `O sistema de vendas respondeu ${response.status}.`);
  return body;
}

let sessionReady = null;

/** Opens a session with a token from the back-end; calls wait for it through withSession. */
function renewSession() {
  sessionReady = (async () => {
    const { token, saleId: reserved } = await api('POST', '/api/session');
    // The first session's sale number is the first sale's; later sessions keep the sale on screen.
    if (saleId === null && saleReady === null) showSale(reserved);
    await tef.startSession(token);
    document.body.dataset.session = 'open';
  })();
  sessionReady.catch(() => { sessionReady = null; });
  return sessionReady;
}

/** Runs a call that needs a session; a session the service no longer knows is opened again once. */
async function withSession(call) {
  try {
    await (sessionReady ?? renewSession());
    return await call();
  } catch (error) {
    if (!SESSION_ERRORS.includes(error.message)) throw error;
    await renewSession();
    return call();
  }
}

function showSale(id) {
  saleId = id;
  $('sale-id').textContent = `nº ${id}`;
}

/** Reserves the next sale's number once a sale is paid, and shows it. */
function nextSale() {
  saleId = null;
  $('sale-id').textContent = '';
  saleReady = api('POST', '/api/sales').then(({ saleId: id }) => { saleReady = null; showSale(id); });
  saleReady.catch(() => { saleReady = null; });
  return saleReady;
}

async function currentSale() {
  if (saleId === null) await (saleReady ?? nextSale());
  return saleId;
}

async function refreshReports() {
  const { payments, reprints = [] } = await api('GET', '/api/payments');
  // Reprints move no money: a table of their own, without sale or payment id.
  showReports($('reports'), payments, 'Nenhum pagamento recebido.',
    ({ paymentId }, first) => [String(paymentId), String(first.sale_id ?? '')]);
  showReports($('reprints'), reprints, 'Nenhuma reimpressão recebida.', ({ reprintId }) => [String(reprintId)]);
}

/** The reports the back-end received, newest first: `ids` gives the leading cells of a row. */
function showReports(body, entries, emptyText, ids) {
  body.replaceChildren();
  if (entries.length === 0) {
    body.append(row([[emptyText, body.closest('table').tHead.rows[0].cells.length]], 'empty'));
    return;
  }
  for (const entry of [...entries].reverse()) {
    const first = entry.report.transaction_data?.[0] ?? {};
    body.append(row([...ids(entry, first), OPERATION_TEXT[first.operation] ?? first.operation ?? '',
      typeof first.transaction_value === 'number' ? money.format(first.transaction_value) : '',
      first.nsu_code ?? '', new Date(entry.receivedAt).toLocaleTimeString('pt-BR')].map((text) => [text])));
  }
}

function row(cells, className) {
  const tr = document.createElement('tr');
  for (const [text, span] of cells) {
    const td = document.createElement('td');
    td.textContent = text;
    if (span) td.colSpan = span;
    if (className) td.className = className;
    tr.append(td);
  }
  return tr;
}

// ---- page state ----------------------------------------------------------------------------

function notice(text, isError = false) {
  noticeFromTef = false;
  $('notice').textContent = text;
  $('notice').classList.toggle('error', isError);
}

function setStatus(state) {
  const pill = $('status');
  pill.className = 'pill';
  if (state === 'open') { pill.textContent = 'Serviço conectado'; pill.classList.add('open'); }
  else if (state === 'reconnecting') { pill.textContent = 'Sem conexão com o serviço'; pill.classList.add('down'); }
  else if (state === 'closed') { pill.textContent = 'Desconectado'; pill.classList.add('down'); }
  else pill.textContent = 'Conectando ao serviço…';
}

/** Why the connection failed, as far as the back-end can tell: the service down, or its certificate. */
async function explainConnectionFailure() {
  try {
    const { listening, port } = await api('GET', '/api/service-status');
    notice(listening
      ? `O serviço está em execução, mas o navegador não confia no certificado dele. Abra https://localhost:${port}/ ` +
        'nesta máquina e aceite o certificado, ou instale Certificado/ca_cert.pem do serviço como autoridade confiável.'
      : `O serviço Norvane TEF não está em execução na porta ${port}. Inicie-o (scripts/run-service.sh); ` +
        'esta página se conecta sozinha quando ele estiver no ar.', true);
  } catch {
    notice('Sem conexão com o serviço nem com o sistema de vendas.', true);
  }
}

function log(direction, text) {
  const item = document.createElement('li');
  item.className = direction;
  const time = document.createElement('time');
  time.textContent = new Date().toLocaleTimeString('pt-BR');
  item.append(time, `${direction === 'out' ? '→' : '←'} ${text}`);
  const list = $('log');
  list.append(item);
  while (list.children.length > 500) list.firstElementChild.remove();
  list.scrollTop = list.scrollHeight;
  window.demoTimings.push([direction, performance.now(), text.slice(0, 60)]);
}

/** `value` true while an operation runs: the sale's fields are fixed until it ends. */
function setPaying(value) {
  paying = value;
  for (const button of document.querySelectorAll('.pay button, .tools button, #print')) button.disabled = value;
  for (const field of ['amount', 'payer']) $(field).disabled = value;
  $('installments').disabled = value;
}

/** "À vista" for 0 and 1: the library reports 0 for debit, Pix and single credit. */
function installmentsText(count) {
  const n = Number(count);
  return Number.isInteger(n) && n > 1 ? `${n}x` : 'À vista';
}

/** A menu line without its code ("1:A Vista" shows "A Vista"); the answer is still the whole line. */
function menuLineText(line) {
  const colon = line.indexOf(':');
  const text = colon >= 0 ? line.slice(colon + 1).trim() : line;
  return text === '' ? line : text;
}

// ---- the dialogue modal --------------------------------------------------------------------

const dialog = $('dialogue');
let answerPrompt = null;  // resolves the prompt on screen
let dialogueTitle = 'Pagamento';  // the running operation's, for what has no title of its own

function openDialogue(title = dialogueTitle) {
  $('dialogue-title').textContent = title;
  if (!dialog.open) dialog.showModal();
}

function closeDialogue() {
  clearPrompt();
  hideQrCode();
  cancellable = false;
  showAbort();
  showMessage('');
  if (dialog.open) dialog.close();
}

function hideQrCode() {
  const box = $('qrcode');
  box.hidden = true;
  box.replaceChildren();  // an old code must not be scannable again, whatever the style says
  delete box.dataset.text;
}

function clearPrompt() {
  answerPrompt = null;
  delete dialog.dataset.prompt;
  $('dialogue-options').replaceChildren();
  $('dialogue-input').hidden = true;
  $('dialogue-hint').hidden = true;
  showAbort();
}

/** Whether the service lets the running payment be cancelled now (its can_cancel). */
let cancellable = false;

/**
 * One "Cancelar pagamento": while the service allows cancelling, or while a menu or field is
 * open (abort() then answers it with CANCEL and confirms).
 */
function showAbort() {
  const prompted = dialog.dataset.prompt;
  $('abort').hidden = !(cancellable || prompted === 'menu' || prompted === 'field');
}

function showMessage(text) {
  $('dialogue-message').textContent = text;
}

/**
 * Shows a prompt and resolves with the answer: a button's value, or the typed text when
 * `field` is given. Buttons: [label, value, className].
 */
function prompt({ kind, title, message, buttons, field }) {
  clearPrompt();
  dialog.dataset.prompt = kind;  // what is asked, for a test or a helper reading the page
  openDialogue(title || dialogueTitle);
  showMessage(message ?? '');
  hideQrCode();
  return new Promise((resolve) => {
    answerPrompt = (value) => { clearPrompt(); resolve(value); };
    showAbort();
    const input = $('dialogue-input');
    if (field) {
      input.hidden = false;
      input.value = '';
      input.minLength = field.minimum;
      input.maxLength = field.maximum > 0 ? field.maximum : 524288;
      input.required = field.minimum > 0;
      input.inputMode = field.fieldOperation === 'string' ? 'text' : 'numeric';
      // An expiry, a security code or a password is not left on the screen, whatever its field code.
      input.type = cardFieldKind(field) === 'hidden' ? 'password' : 'text';
      const hint = $('dialogue-hint');
      hint.hidden = false;
      hint.textContent = field.minimum === field.maximum
        ? `${field.maximum} caracteres`
        : `De ${field.minimum} a ${field.maximum} caracteres`;
      input.focus();
    }
    for (const [label, value, className] of buttons) {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = label;
      if (className) button.className = className;
      button.addEventListener('click', () => {
        if (value === 'typed') {
          if (!input.reportValidity()) return;
          answerPrompt?.(input.value);
        } else {
          answerPrompt?.(value);
        }
      });
      $('dialogue-options').append(button);
    }
  });
}

$('dialogue-form').addEventListener('submit', (event) => {
  event.preventDefault();
  if ($('dialogue-input').hidden) return;
  $('dialogue-options').querySelector('button')?.click();
});
// Escape must not close the modal in the middle of a payment: the service still waits.
dialog.addEventListener('cancel', (event) => event.preventDefault());

/** Every dialogue message carries can_cancel; the library passes on only the can_cancel message's. */
function followCanCancel() {
  if (lastIncoming?.can_cancel === false && cancellable) {
    cancellable = false;
    showAbort();
  }
}

/** Keeps the library's last notice for the result: a decline's reason is said only there. */
function keepNotice(text) {
  const clean = String(text ?? '').replace(/@/g, '\n').trim();
  if (clean) lastNotice = clean;
}

const dialogue = {
  message(text) {
    followCanCancel();
    if (paying || dialog.open) {
      keepNotice(text);
      openDialogue();
      showMessage(text);
      // "" clears the display: a paid QR code goes with it.
      if (text === '') hideQrCode();
    } else if (text) {
      notice(text);
      noticeFromTef = true;
    } else if (noticeFromTef) {
      notice('');  // "" clears the library's display, here the line under the buttons
    }
  },
  confirmation({ message }) {
    followCanCancel();
    keepNotice(message);
    return prompt({ kind: 'confirmation', message, buttons: [['OK', 'ok']] });
  },
  question({ message, options }) {
    followCanCancel();
    return prompt({ kind: 'question', message, buttons: options.map((o) => [o, o, o === 'Não' ? 'secondary' : '']) });
  },
  menu({ title, options }) {
    followCanCancel();
    // Going back from a menu is offered only when the service says it is possible.
    const back = lastIncoming?.type === 'menu' && lastIncoming.back_menu === true;
    return prompt({
      kind: 'menu', title, message: '',
      buttons: [...options.map((o, i) => [menuLineText(o), i]), ...(back ? [['Voltar', BACK, 'secondary']] : [])],
    });
  },
  collect(field) {
    followCanCancel();
    return prompt({
      kind: 'field', title: field.title, message: '', field,
      buttons: [['Confirmar', 'typed'], ...(field.backMenu ? [['Voltar', BACK, 'secondary']] : [])],
    });
  },
  qrcode(data) {
    openDialogue();
    const code = qrcode(0, 'M');
    code.addData(data);
    code.make();
    const box = $('qrcode');
    box.innerHTML = code.createSvgTag({ cellSize: 4, margin: 16, scalable: true, alt: 'QR Code do pagamento' });
    box.dataset.text = data;
    box.hidden = false;
  },
  canCancel(allowed) {
    // Also for a payment this page did not start (one running when the page was reloaded).
    if (allowed) openDialogue();
    cancellable = allowed;
    showAbort();
  },
  receipt({ copyNumber, lines }) {
    log('in', `(comprovante ${copyNumber}ª via, ${lines.length} linhas)`);
  },
};

$('abort').addEventListener('click', () => {
  cancellable = false;
  clearPrompt();  // abort() answers the open menu or field itself
  $('abort').hidden = true;
  showMessage('Cancelando o pagamento…');
  tef.abort().catch((error) => notice(error.message, true));
});

// ---- result --------------------------------------------------------------------------------

function showResult(result, note = '', kind = 'payment') {
  lastResult = result;
  $('result').hidden = false;
  const data = result.transaction_data?.[0];
  const reprint = kind === 'reprint' || data?.operation === 'reprint';
  const status = $('result-status');
  status.textContent = ((reprint ? REPRINT_STATUS_TEXT : STATUS_TEXT)[result.status] ?? result.status) + note;
  status.className = `status ${result.status}`;
  // The library's last notice says why a payment was declined; the result message does not.
  const reason = $('result-notice');
  reason.textContent = note ? '' : lastNotice;
  reason.hidden = reason.textContent === '';
  $('result-message').textContent = result.callbackError ? `${result.message} (${result.callbackError})` : result.message;
  const list = $('result-data');
  list.replaceChildren();
  const receipts = $('receipts');
  receipts.replaceChildren();
  if (data) {
    const fields = [
      // A reprint is no payment: the back-end gives it no payment id.
      ['Pagamento', reprint ? undefined : data.payment_id], ['Venda', data.sale_id],
      ['Forma', OPERATION_TEXT[data.operation] ?? data.operation],
      // `institution` is the network's code (00125…), not the card's brand.
      ['Cartão', data.card_number], ['Código da rede', data.institution],
      ['Valor', typeof data.transaction_value === 'number' ? money.format(data.transaction_value) : undefined],
      ['Parcelas', reprint || data.number_of_installments === undefined ? undefined : installmentsText(data.number_of_installments)],
      ['NSU', data.nsu_code], ['Autorização', data.authorization_code],
    ];
    for (const [name, value] of fields) {
      if (value === undefined || value === '' || value === null) continue;
      const dt = document.createElement('dt');
      dt.textContent = name;
      const dd = document.createElement('dd');
      dd.textContent = String(value);
      dd.dataset.field = name;
      list.append(dt, dd);
    }
    for (const copy of data.receipt ?? []) {
      const pre = document.createElement('pre');
      pre.textContent = `${copy.copy_number}ª via\n\n${receiptLines(copy).join('\n')}`;
      receipts.append(pre);
    }
  }
  $('print').hidden = !(data?.receipt?.length);
  $('printed').hidden = true;
  window.demoTimings.push(['result', performance.now(), result.status]);
}

const escapeXml = (text) => text.replace(/[<>&"']/g, (c) => `&#${c.charCodeAt(0)};`);

/** The lines of a receipt copy, whether each element is a line or carries line feeds. */
function receiptLines(copy) {
  const lines = copy.data.flatMap((line) => String(line).replace(/\r/g, '').replace(/\n$/, '').split('\n'));
  while (lines.length && lines.at(-1).trim() === '') lines.pop();
  return lines;
}

/** The customer's copy as a receipt layout: one printed line per receipt line. */
function receiptLayout(copy) {
  const lines = receiptLines(copy);
  const body = lines.map((line) => (line.trim() === '' ? '<feed/>' : `<line>${escapeXml(line)}</line>`)).join('');
  return `<?xml version="1.0" encoding="UTF-8"?><receipt><header><title>COMPROVANTE</title></header><hr/>${body}<cut/></receipt>`;
}

/** What to set for a print refusal of the service. */
const PRINT_ADVICE = {
  'Impressora não definida.': 'Defina printer na seção [sitef] de SvcNorvaneSiTef.ini com o nome de uma ' +
    'impressora do CUPS (lpstat -p lista as impressoras) e reinicie o serviço; sem printer, scripts/run-service.sh ' +
    'cria e define a impressora PDF de demonstração.',
};

function printFailure(message) {
  const advice = PRINT_ADVICE[message] ?? 'Confira printer na seção [sitef] de SvcNorvaneSiTef.ini e as linhas ' +
    '[Impressora] do log do serviço.';
  return `Não foi possível imprimir: ${message} ${advice}`;
}

$('print').addEventListener('click', async () => {
  const copy = lastResult?.transaction_data?.[0]?.receipt?.[0];
  if (!copy) return;
  $('printed').hidden = true;
  $('print').disabled = true;
  try {
    // The demo back-end serves what a PDF printer writes: ask it where things stand first.
    const prints = await api('GET', '/api/prints').catch(() => ({ folder: null }));
    await tef.print({ layout: receiptLayout(copy) });
    notice('Comprovante enviado para a impressora.');
    if (!prints.folder) return;
    const { file } = await api('GET', `/api/prints/next?since=${prints.now}`);
    if (!file) {
      notice(`Comprovante enviado para a impressora, mas nenhum PDF apareceu em ${prints.folder}: ` +
        'veja as linhas [Impressora] do log do serviço e o log do CUPS.', true);
      return;
    }
    $('printed-link').href = file.url;
    $('printed-link').textContent = `Abrir o PDF do comprovante impresso (${file.name})`;
    $('printed').hidden = false;
  } catch (error) {
    notice(printFailure(error.message), true);
  } finally {
    $('print').disabled = paying;
  }
});

// ---- actions -------------------------------------------------------------------------------

function amount() {
  const text = $('amount').value.trim().replace(/\./g, '').replace(',', '.');
  const value = Number(text);
  return /^\d+(\.\d{1,2})?$/.test(text) && value > 0 ? value : null;
}

const CREDIT = 3;

async function pay(operation) {
  window.demoTimings = [['click', performance.now(), String(operation)]];
  const value = amount();
  if (value === null) {
    notice('Informe um valor maior que zero, como 10,50.', true);
    $('amount').focus();
    return;
  }
  notice('');
  // The installments apply to "Crédito" only: debit, Pix and check are paid at once, and in
  // the TEF's own menu the TEF asks the plan itself.
  const installments = operation === CREDIT ? Number($('installments').value) : 0;
  const result = await runTransaction('Pagamento', async () => {
    const sale = await currentSale();
    return withSession(() => tef.pay({
      operation, value, installments: installments > 1 ? installments : 0, payerName: $('payer').value.trim(), saleId: sale,
    }));
  });
  // A paid sale is over: the next payment is for a new sale. A declined one may be paid again;
  // a pending one is paid already (its settlement is the service's to finish), never twice.
  if (result?.status === 'approved' || result?.status === 'pending') nextSale().catch((error) => notice(error.message, true));
}

/** A payment, cancellation or reprint: the modal while it runs, then its result or its error. */
async function runTransaction(title, start, kind = 'payment') {
  setPaying(true);
  // The previous operation's result must not stand behind this one's dialogue.
  $('result').hidden = true;
  lastNotice = '';
  dialogueTitle = title;
  openDialogue(title);
  showMessage('Iniciando…');
  try {
    const result = await start();
    closeDialogue();
    showResult(result, '', kind);
    return result;
  } catch (error) {
    closeDialogue();
    notice(error.message, true);
    return null;
  } finally {
    setPaying(false);
    refreshReports().catch(() => {});
  }
}

async function tool(run) {
  setPaying(true);
  try {
    notice(await run());
  } catch (error) {
    notice(error.message, true);
  } finally {
    setPaying(false);
  }
}

for (const button of document.querySelectorAll('.pay button')) {
  button.addEventListener('click', () => pay(Number(button.dataset.operation)));
}
$('pinpad').addEventListener('click', () => tool(async () => {
  const reply = await withSession(() => tef.pinpadStatus());
  return reply.message || 'O PinPad não respondeu.';
}));
$('version').addEventListener('click', () => tool(async () => {
  const reply = await tef.version({ category: 'service_exe' });
  return `Serviço versão ${reply.version}, PDV ${reply.pdv_number}.`;
}));
$('reprint').addEventListener('click', () => runTransaction('Reimpressão', () => withSession(() => tef.reprint({ operation: 113 })), 'reprint'));

// ---- start ---------------------------------------------------------------------------------

for (let n = 1; n <= 12; n += 1) {
  const option = document.createElement('option');
  option.value = String(n);
  option.textContent = installmentsText(n);
  $('installments').append(option);
}

async function start() {
  config = await api('GET', '/api/config');
  refreshReports().catch(() => {});
  tef = new NorvaneTef({
    dialogue,
    onMessage: (direction, text) => {
      log(direction, text);
      if (direction !== 'in') return;
      try { lastIncoming = JSON.parse(text); } catch { lastIncoming = null; }
    },
    onStatus: (state) => {
      setStatus(state);
      if (state === 'open') {
        notice('');
        // A service that restarted has forgotten its sessions: open one on every connection.
        renewSession().catch((error) => notice(error.message, true));
      }
    },
    onUnclaimed: (message) => {
      // A payment started before this page was loaded (or reloaded) ended here.
      if (message.type === 'result') {
        if (!paying) closeDialogue();
        showResult(message, ' (pagamento anterior)');
        refreshReports().catch(() => {});
      } else if (message.type === 'error') {
        notice(message.message, true);
      }
    },
  });
  try {
    await tef.connect(config.serviceUrl);
  } catch {
    await explainConnectionFailure();
  }
}

start().catch((error) => notice(`A página não pôde iniciar: ${error.message}`, true));
