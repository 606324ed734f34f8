// The demo sales page: a cashier's screen on top of norvane-tef.js. The back-end that serves
// it mints the session tokens and receives the payment reports (server.mjs).
import { BACK, CANCEL, NorvaneTef } from '/norvane-tef.js';
import qrcode from '/vendor/qrcode.mjs';

const $ = (id) => document.getElementById(id);
const STATUS_TEXT = { approved: 'Aprovada', canceled: 'Cancelada', unauthorized: 'Não autorizada' };
const OPERATION_TEXT = { debit: 'Débito', credit: 'Crédito', pix: 'Pix', cancellation: 'Cancelamento', reprint: 'Reimpressão' };
const SESSION_ERRORS = ['Sessão inválida.', 'Sessão expirada.'];
const money = new Intl.NumberFormat('pt-BR', { style: 'currency', currency: 'BRL' });

let tef;
let config;
let paying = false;
let lastResult = null;
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
    const { token, saleId } = await api('POST', '/api/session');
    $('sale-id').textContent = `nº ${saleId}`;
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

async function refreshReports() {
  const { payments } = await api('GET', '/api/payments');
  const body = $('reports');
  body.replaceChildren();
  if (payments.length === 0) {
    body.append(row([['Nenhum pagamento recebido.', 6]], 'empty'));
    return;
  }
  for (const { paymentId, receivedAt, report } of [...payments].reverse()) {
    const first = report.transaction_data?.[0] ?? {};
    body.append(row([
      [String(paymentId)], [String(first.sale_id ?? '')], [OPERATION_TEXT[first.operation] ?? first.operation ?? ''],
      [typeof first.transaction_value === 'number' ? money.format(first.transaction_value) : ''],
      [first.nsu_code ?? ''], [new Date(receivedAt).toLocaleTimeString('pt-BR')],
    ]));
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

function setPaying(value) {
  paying = value;
  for (const button of document.querySelectorAll('.pay button, .tools button')) button.disabled = value;
}

// ---- the dialogue modal --------------------------------------------------------------------

const dialog = $('dialogue');
let answerPrompt = null;  // resolves the prompt on screen

function openDialogue(title = 'Pagamento') {
  $('dialogue-title').textContent = title;
  if (!dialog.open) dialog.showModal();
}

function closeDialogue() {
  clearPrompt();
  $('qrcode').hidden = true;
  $('abort').hidden = true;
  if (dialog.open) dialog.close();
}

function clearPrompt() {
  answerPrompt = null;
  $('dialogue-options').replaceChildren();
  $('dialogue-input').hidden = true;
  $('dialogue-hint').hidden = true;
}

function showMessage(text) {
  $('dialogue-message').textContent = text;
}

/**
 * Shows a prompt and resolves with the answer: a button's value, or the typed text when
 * `field` is given. Buttons: [label, value, className].
 */
function prompt({ title, message, buttons, field }) {
  clearPrompt();
  openDialogue(title || 'Pagamento');
  showMessage(message ?? '');
  $('qrcode').hidden = true;
  return new Promise((resolve) => {
    answerPrompt = (value) => { clearPrompt(); resolve(value); };
    const input = $('dialogue-input');
    if (field) {
      input.hidden = false;
      input.value = '';
      input.minLength = field.minimum;
      input.maxLength = field.maximum > 0 ? field.maximum : 524288;
      input.required = field.minimum > 0;
      input.inputMode = field.fieldOperation === 'string' ? 'text' : 'numeric';
      input.type = field.fieldOperation === 'segurança' ? 'password' : 'text';
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

const dialogue = {
  message(text) {
    if (paying || dialog.open) { openDialogue(); showMessage(text); } else if (text) notice(text);
  },
  confirmation({ message }) {
    return prompt({ message, buttons: [['OK', 'ok']] });
  },
  question({ message, options }) {
    return prompt({ message, buttons: options.map((o) => [o, o, o === 'Não' ? 'secondary' : '']) });
  },
  menu({ title, options }) {
    return prompt({
      title, message: '',
      buttons: [...options.map((o, i) => [o, i]), ['Voltar', BACK, 'secondary'], ['Cancelar', CANCEL, 'secondary']],
    });
  },
  collect(field) {
    return prompt({
      title: field.title, message: '', field,
      buttons: [['Confirmar', 'typed'], ['Voltar', BACK, 'secondary'], ['Cancelar', CANCEL, 'secondary']],
    });
  },
  qrcode(data) {
    openDialogue('Pix');
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
    $('abort').hidden = !allowed;
  },
  receipt({ copyNumber, lines }) {
    log('in', `(comprovante ${copyNumber}ª via, ${lines.length} linhas)`);
  },
};

$('abort').addEventListener('click', () => {
  $('abort').hidden = true;
  showMessage('Cancelando o pagamento…');
  tef.abort().catch((error) => notice(error.message, true));
});

// ---- result --------------------------------------------------------------------------------

function showResult(result, note = '') {
  lastResult = result;
  $('result').hidden = false;
  const status = $('result-status');
  status.textContent = (STATUS_TEXT[result.status] ?? result.status) + note;
  status.className = `status ${result.status}`;
  $('result-message').textContent = result.callbackError ? `${result.message} (${result.callbackError})` : result.message;
  const data = result.transaction_data?.[0];
  const list = $('result-data');
  list.replaceChildren();
  const receipts = $('receipts');
  receipts.replaceChildren();
  if (data) {
    const fields = [
      ['Pagamento', data.payment_id], ['Venda', data.sale_id], ['Forma', OPERATION_TEXT[data.operation] ?? data.operation],
      ['Cartão', data.card_number], ['Bandeira', data.institution],
      ['Valor', typeof data.transaction_value === 'number' ? money.format(data.transaction_value) : undefined],
      ['Parcelas', data.number_of_installments], ['NSU', data.nsu_code], ['Autorização', data.authorization_code],
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

$('print').addEventListener('click', async () => {
  const copy = lastResult?.transaction_data?.[0]?.receipt?.[0];
  if (!copy) return;
  try {
    await tef.print({ layout: receiptLayout(copy) });
    notice('Comprovante enviado para a impressora.');
  } catch (error) {
    notice(`Não foi possível imprimir: ${error.message}`, true);
  }
});

// ---- actions -------------------------------------------------------------------------------

function amount() {
  const text = $('amount').value.trim().replace(/\./g, '').replace(',', '.');
  const value = Number(text);
  return /^\d+(\.\d{1,2})?$/.test(text) && value > 0 ? value : null;
}

async function pay(operation) {
  window.demoTimings = [['click', performance.now(), String(operation)]];
  const value = amount();
  if (value === null) {
    notice('Informe um valor maior que zero, como 10,50.', true);
    $('amount').focus();
    return;
  }
  notice('');
  await runTransaction('Pagamento', async () => {
    const { saleId } = await api('POST', '/api/sales');
    $('sale-id').textContent = `nº ${saleId}`;
    const installments = Number($('installments').value);
    return withSession(() => tef.pay({
      operation, value, installments: installments > 1 ? installments : 0, payerName: $('payer').value.trim(), saleId,
    }));
  });
}

/** A payment, cancellation or reprint: the modal while it runs, then its result or its error. */
async function runTransaction(title, start) {
  setPaying(true);
  openDialogue(title);
  showMessage('Iniciando…');
  try {
    const result = await start();
    closeDialogue();
    showResult(result);
  } catch (error) {
    closeDialogue();
    notice(error.message, true);
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
$('reprint').addEventListener('click', () => runTransaction('Reimpressão', () => withSession(() => tef.reprint({ operation: 113 }))));

// ---- start ---------------------------------------------------------------------------------

for (let n = 1; n <= 12; n += 1) {
  const option = document.createElement('option');
  option.value = String(n);
  option.textContent = n === 1 ? 'À vista' : `${n}x`;
  $('installments').append(option);
}

async function start() {
  config = await api('GET', '/api/config');
  refreshReports().catch(() => {});
  tef = new NorvaneTef({
    dialogue,
    onMessage: log,
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
