// "/print" against the installed service, its stand-in PDF program and a private CUPS
// scheduler: documents sent over wss end as jobs on the printer and their files go away.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { canRunCups, startCups } from './lib/cups.mjs';
import { startService, waitFor } from './lib/service.mjs';
import { connectClient } from './lib/session-helpers.mjs';

const limit = { timeout: 180000 };

// A one-page PDF showing `text`, with a correct cross-reference table.
function pdfShowing(text, padding = 0) {
  const stream = `BT /F1 12 Tf 20 100 Td (${text}) Tj ET` + ' '.repeat(padding);
  const objects = [
    '<< /Type /Catalog /Pages 2 0 R >>',
    '<< /Type /Pages /Kids [3 0 R] /Count 1 >>',
    '<< /Type /Page /Parent 2 0 R /MediaBox [0 0 227 200] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>',
    `<< /Length ${stream.length} >>\nstream\n${stream}\nendstream`,
    '<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>',
  ];
  let body = '%PDF-1.4\n';
  const offsets = objects.map((object, i) => {
    const at = body.length;
    body += `${i + 1} 0 obj\n${object}\nendobj\n`;
    return at;
  });
  const xref = body.length;
  body += `xref\n0 ${objects.length + 1}\n0000000000 65535 f \n`;
  for (const at of offsets) body += `${String(at).padStart(10, '0')} 00000 n \n`;
  body += `trailer\n<< /Size ${objects.length + 1} /Root 1 0 R >>\nstartxref\n${xref}\n%%EOF\n`;
  return Buffer.from(body, 'latin1');
}

const layout = (qr) => `<?xml version="1.0" encoding="UTF-8"?>
<receipt>
  <title>CUPOM DE TESTE</title>
  <row><left>TOTAL</left><right>R$ 9,90</right></row>
  <qrcode title="Pix">
    <![CDATA[${qr}]]>
  </qrcode>
</receipt>
`;

const printFiles = (dir) => fs.readdirSync(dir).filter((name) => /_Temp\./.test(name));
const pdfText = (file) => spawnSync('pdftotext', ['-raw', file, '-'], { encoding: 'utf8' }).stdout.replace(/\s+/g, ' ');

// A message answered at once, sent right behind a print request: its reply coming first
// proves that the request got none.
async function nextReplyAfter(client, message, timeoutMs = 15000) {
  client.send(message);
  client.send({});
  return client.next(timeoutMs);
}
const noReply = JSON.stringify({ type: 'error', message: 'Campo route nao encontrado.' });

describe('print requests', { skip: !canRunCups && 'a private cupsd needs root' }, () => {
  let cups;
  let service;
  let client;
  before(async () => {
    cups = await startCups();
    service = await startService({ extraIni: { printer: 'receipt80' }, env: { CUPS_SERVER: cups.server } });
    client = await connectClient(service.port);
  });
  after(async () => {
    await client?.close();
    await service?.dispose();
    await cups?.stop();
  });

  async function printedJob(before) {
    await waitFor(() => printFiles(service.dir).length === 0 && cups.activeJobs().length === 0 &&
                        cups.completedJobs().length > before, { timeoutMs: 60000, what: 'the print job' });
  }

  test('a PDF and a layout each become a job, and their files are gone afterwards', limit, async () => {
    const pdf = pdfShowing('Documento enviado pelo caixa');
    assert.equal(await nextReplyAfter(client, { route: '/print', type: 'print', data: pdf.toString('base64'), file_type: 'pdf' }), noReply);
    await printedJob(0);
    assert.match(pdfText(cups.output), /Documento enviado pelo caixa/);

    const qr = fs.readFileSync(new URL('../tests/printing/fixtures/qrcode.png', import.meta.url)).toString('base64');
    // A data-URL prefix and line breaks inside the base64 are allowed.
    const wrapped = 'data:text/xml;base64,' + Buffer.from(layout(qr)).toString('base64').replace(/.{76}/g, '$&\r\n');
    assert.equal(await nextReplyAfter(client, { route: '/print', type: 'print', data: wrapped, file_type: 'gdi' }), noReply);
    await printedJob(1);
    assert.match(pdfText(cups.output), /CUPOM DE TESTE TOTAL R\$ 9,90 Pix/);
    const log = service.logText();
    assert.doesNotMatch(log, /Erro|Processo encerrado|Timeout/);
    assert.match(log, /\[Impressora\] Impresso com sucesso em: receipt80/);
  });

  test('60 MiB of base64 is printed whole', limit, async () => {
    const before = cups.completedJobs().length;
    const pdf = pdfShowing('Documento grande', 45 * 1024 * 1024 - 1024);
    const data = pdf.toString('base64');
    assert.ok(data.length > 59 * 1024 * 1024 && data.length <= 60 * 1024 * 1024, `${data.length}`);
    // Tens of megabytes of JSON take the service some seconds to read.
    assert.equal(await nextReplyAfter(client, { route: '/print', type: 'print', data, file_type: 'pdf' }, 60000), noReply);
    await printedJob(before);
    assert.match(pdfText(cups.output), /Documento grande/);
  });

  test('bad requests get their replies and leave no file', limit, async () => {
    const error = (message) => JSON.stringify({ type: 'error', message });
    const cases = [
      ['data that is not base64', { data: '%PDF-1.4 not base64', file_type: 'pdf' },
        [error('Erro na conversão do arquivo: Base64 inválido.'), error('Arquivo convertido não localizado.')]],
      ['file_type in capitals', { data: 'JVBERg==', file_type: 'PDF' },
        [error('Tipo do arquivo inválido. Valor permitido [pdf,gdi]')]],
      ['no PDF program', { data: 'JVBERg==', file_type: 'pdf' }, [error('SumatraPDF não localizado.')],
        () => fs.renameSync(path.join(service.dir, 'SumatraPDF.exe'), path.join(service.dir, 'SumatraPDF.exe.off'))],
      ['no printer set', { data: 'JVBERg==', file_type: 'gdi' }, [error('Impressora não definida.')],
        () => service.writeIni(service.port, {})],
    ];
    for (const [what, members, expected, setUp] of cases) {
      setUp?.();
      client.send({ route: '/print', type: 'print', ...members });
      const replies = [];
      for (const _ of expected) replies.push(await client.next(15000));
      // The texts are compared as the service writes them, accents escaped.
      assert.deepEqual(replies.map((r) => JSON.stringify(JSON.parse(r))), expected, what);
      assert.deepEqual(printFiles(service.dir), [], what);
    }
    client.send({});
    assert.equal(await client.next(15000), noReply, 'no reply beyond those expected');
  });
});
