// From the click on "Crédito" to the result drawn on the demo page, in headless Chromium,
// with the installed service and the stand-in CliSiTef library answering at once (no polls).
// A cashier inside the page answers each prompt the moment it is drawn, so the time is the
// page's, the library's and the service's, split by the page's own log of messages:
//   page and library: click to request (with the sale id from the back-end), each prompt
//   received to its answer sent, result received to result drawn;
//   service: the rest (its work, the stand-in's, and the fixed waits of its dialogue).
//
//   node bench/demo_sale.mjs [sales]      (NORVANE_SERVICE_DIR defaults to build/service)
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
process.env.NORVANE_SERVICE_DIR ??= path.join(repo, 'build', 'service');
const { configureStandIn, startService } = await import('../e2e/lib/service.mjs');
const { openDemo } = await import('../web/test/cashier.mjs');

const sales = Number(process.argv[2] ?? 20);
const service = await startService();
configureStandIn(service.dir, { Scenario: 'credit', PollCount: 0, PollIntervalMs: 0 });
const demo = await openDemo(service.dir, fs.readFileSync(path.join(service.dir, 'Certificado', 'server_cert.pem')));
const { page } = demo;

// The in-page cashier: the first option of every menu that is not "Voltar"/"Cancelar"
// (magnetic card, then "A Vista"), "Sim", "OK".
await page.evaluate(() => {
  new MutationObserver(() => {
    const buttons = [...document.querySelectorAll('#dialogue-options button')];
    const pick = buttons.find((b) => /^(Sim|OK)$/.test(b.textContent))
      ?? buttons.find((b) => !/^(Voltar|Cancelar|Não)$/.test(b.textContent));
    pick?.click();
  }).observe(document.getElementById('dialogue-options'), { childList: true });
});

const rows = [];
try {
  for (let sale = 0; sale < sales; sale += 1) {
    await page.click('.pay >> text=Crédito');
    await page.waitForFunction(() => window.demoTimings.some((t) => t[0] === 'result'), null, { timeout: 30000 });
    await page.waitForFunction(() => !document.querySelector('.pay button').disabled);
    const timings = await page.evaluate(() => window.demoTimings);
    const click = timings[0][1];
    const result = timings.find((t) => t[0] === 'result');
    // The page's share: click to the request, each last message received to the answer it
    // drew, and the result received to the result drawn. The rest is the service's.
    let pageShare = 0;
    let actingSince = click;  // when the page last got something to act on
    for (const [kind, at] of timings.slice(1)) {
      if (kind === 'in') actingSince = at;
      else if (actingSince !== null) {
        pageShare += at - actingSince;  // an answer sent, or the result drawn
        actingSince = null;
      }
    }
    if (result[2] !== 'approved') throw new Error(`sale ${sale + 1} ended ${result[2]}`);
    rows.push({ total: result[1] - click, service: result[1] - click - pageShare, page: pageShare });
  }
} finally {
  await demo.close();
  await service.dispose();
}

const median = (values) => { const s = [...values].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };
const ms = (v) => `${v.toFixed(1)} ms`;
console.log(`${sales} credit sales, click on "Crédito" to result drawn (median):`);
console.log(`  total            ${ms(median(rows.map((r) => r.total)))}`);
console.log(`  service          ${ms(median(rows.map((r) => r.service)))}  (with the stand-in and the dialogue's fixed waits)`);
console.log(`  page and library ${ms(median(rows.map((r) => r.page)))}  (sale id from the back-end, drawing, answering)`);
