// A sales application's use of norvane-tef, as a TypeScript developer writes it: installed as
// a package ("npm install ./norvane-tef-1.0.0.tgz") and imported by its name. The tests compile
// it with "tsc --noEmit" against the package's declarations.
import { CANCEL, NorvaneTef, TefError, type CollectPrompt, type TefResult, type TransactionData } from 'norvane-tef';

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
    if (error instanceof TefError && error.connectionLost) {
      const status = await tef.status(saleId);
      if (status.status === 'finished' && status.result) return firstPayment(status.result)?.payment_id ?? null;
    }
    throw error;
  } finally {
    if (cancelVisible) await tef.abort();
    await tef.finishSession();
  }
}

export async function checkWorkstation(): Promise<string> {
  const [pinpad, version] = [await tef.pinpadStatus(), await tef.version({ category: 'clisitef_dll' })];
  return `${pinpad.message}; CliSiTef ${version.version}; PDV ${version.pdv_number}`;
}
