// A sales application's use of norvane-tef, as a TypeScript developer writes it: installed as
// a package ("npm install ./norvane-tef-1.0.0.tgz") and imported by its name. The tests compile
// it with "tsc --noEmit" against the package's declarations.
import { CANCEL, NorvaneTef, TefError, type CollectPrompt, type TefResult, type TransactionData, type TransactionStatus } from 'norvane-tef';

declare function chooseOne(title: string, options: string[]): Promise<number>;
declare function typeText(prompt: CollectPrompt): Promise<string | null>;
declare function tokenFromYourBackEnd(): Promise<string>;
declare function printReceipt(lines: string[]): void;

const display = { textContent: '' };
let cancelVisible = false;

const tef = new NorvaneTef({
  dialogue: {
    message: (text) => { display.textContent = text; },
    confirmation: async ({ message }) => { display.textContent = message; },
    question: ({ options }) => options[0] ?? 'Não',
    menu: ({ title, options }) => chooseOne(title, options),
    collect: async (prompt) => (await typeText(prompt)) ?? CANCEL,
    qrcode: (data) => { display.textContent = data; },
    canCancel: (allowed) => { cancelVisible = allowed; },
    receipt: ({ copyNumber, lines }) => { if (copyNumber === 2) printReceipt(lines); },
  },
  onStatus: (state, detail) => { display.textContent = detail ?? state; },
  onUnclaimed: (message) => console.info('from an earlier page:', message.type),
  replyTimeoutMs: 20000,
});

function firstPayment(result: TefResult): TransactionData | undefined {
  return result.transaction_data?.[0];
}

export async function sell(saleId: number, value: number): Promise<number | null> {
  await tef.connect('wss://localhost:8443');
  await tef.startSession(await tokenFromYourBackEnd());
  try {
    const result = await tef.pay({ operation: 3, value, installments: 3, payerName: 'Maria', saleId });
    if (result.status !== 'approved') {
      display.textContent = result.message;
      return null;
    }
    const payment = firstPayment(result);
    const customerCopy = payment?.receipt.find((copy) => copy.copy_number === 2);
    if (customerCopy) await tef.print({ layout: `<receipt><line>${customerCopy.data.join('')}</line></receipt>` });
    return payment?.payment_id ?? null;
  } catch (error) {
    // A dropped connection was already recovered by the payment's own key; this one never
    // reached the service, so nothing was charged and the same request may go again.
    if (error instanceof TefError && error.notCharged && error.payment) display.textContent = error.message;
    throw error;
  } finally {
    if (cancelVisible) await tef.abort();
    await tef.finishSession();
  }
}

/** After a reload: how the payment this page had in flight ended, by its key (never by the sale). */
export async function resumeAfterReload(): Promise<TefResult | null> {
  const unfinished = tef.unfinishedPayment();
  if (!unfinished) return null;
  const result = await tef.resumePayment({ idempotencyKey: unfinished.idempotencyKey });
  const status: TransactionStatus = await tef.status({ idempotencyKey: unfinished.idempotencyKey });
  if (status.status === 'pending') display.textContent = status.message ?? result.message;
  return result;
}

export async function checkWorkstation(): Promise<string> {
  const [pinpad, version] = [await tef.pinpadStatus(), await tef.version({ category: 'clisitef_dll' })];
  return `${pinpad.message}; CliSiTef ${version.version}; PDV ${version.pdv_number}`;
}
