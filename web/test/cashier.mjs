// A cashier at the demo page: clicks a payment button and answers every prompt the way the
// given choices say, until the page is ready for the next sale.
import { startDemoBackEnd } from '../demo/server.mjs';
import { launchChromium } from './browser.mjs';

/**
 * Runs one payment from the click on `button`. `choices` are regular expressions tried in
 * order against the prompt's buttons; `typed` answers a field; `abort` clicks "Cancelar
 * pagamento" as soon as it shows. Returns what was prompted, in order:
 * [{ kind: 'menu'|'field'|'question'|'confirmation'|'abort', title, message, options }].
 */
export async function takePayment(page, button, { choices = [], typed = '', abort = false } = {}) {
  await page.click(`.pay >> text=${button}`);
  const prompts = [];
  for (;;) {
    const state = await (await page.waitForFunction((cancelWhenAllowed) => {
      if (document.querySelector('#dialogue-options button')) return 'prompt';
      if (cancelWhenAllowed && !document.getElementById('abort').hidden) return 'abort';
      if (!document.querySelector('.pay button').disabled) return 'done';
      return false;
    }, abort, { timeout: 30000 })).jsonValue();
    if (state === 'done') return prompts;
    if (state === 'abort') {
      prompts.push({ kind: 'abort' });
      await page.click('#abort');
      await page.locator('#abort').waitFor({ state: 'hidden' });
      continue;
    }
    const prompt = await page.evaluate(() => ({
      title: document.getElementById('dialogue-title').textContent,
      message: document.getElementById('dialogue-message').textContent,
      options: [...document.querySelectorAll('#dialogue-options button')].map((b) => b.textContent),
      kind: document.getElementById('dialogue').dataset.prompt,
    }));
    prompt.field = prompt.kind === 'field';
    prompts.push(prompt);
    const buttons = page.locator('#dialogue-options button');
    if (prompt.field) {
      await page.fill('#dialogue-input', typed);
      await buttons.filter({ hasText: 'Confirmar' }).click();
      continue;
    }
    const choice = prompt.kind === 'confirmation' ? 'OK'
      : choices.map((c) => prompt.options.find((o) => c.test(o))).find((o) => o !== undefined);
    if (choice === undefined) throw new Error(`no choice for the prompt ${JSON.stringify(prompt)}`);
    await buttons.filter({ hasText: choice }).first().click();
  }
}

/** The demo back-end of a service folder, and Chromium on its page with the service connected. */
export async function openDemo(serviceDir, certificatePem, { printDir = null } = {}) {
  const backEnd = await startDemoBackEnd({ serviceDir, printDir });
  const browser = await launchChromium(certificatePem);
  await browser.page.goto(backEnd.url);
  await browser.page.locator('#status', { hasText: 'Serviço conectado' }).waitFor();
  await browser.page.locator('body[data-session="open"]').waitFor({ state: 'attached' });
  return {
    backEnd,
    browser,
    page: browser.page,
    async close() {
      await browser.close();
      await backEnd.close();
    },
  };
}
