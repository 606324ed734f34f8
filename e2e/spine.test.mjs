// The service host and its WebSocket server, driven from outside: a real wss client,
// OpenSSL's own client, the control signals and the INSTALL/UNINSTALL switches.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import tls from 'node:tls';
import { after, before, describe, test } from 'node:test';
import WebSocket from 'ws';
import { freePort, portOpen, serviceDir, startService } from './lib/service.mjs';

function openClient(service) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`wss://127.0.0.1:${service.port}/`, { ca: service.caCert });
    ws.once('open', () => resolve(ws));
    ws.once('error', reject);
  });
}

function pingPong(ws, data) {
  return new Promise((resolve, reject) => {
    ws.once('pong', (payload) => resolve(payload.toString()));
    ws.once('error', reject);
    ws.ping(data);
  });
}

function sClient(port, versionFlag) {
  return spawnSync('openssl', ['s_client', '-connect', `127.0.0.1:${port}`, versionFlag], {
    input: '', encoding: 'utf8', timeout: 15000,
  });
}

// The month folder of today's service log under pt_BR: "Dezembro-2026".
function monthFolder(date) {
  const name = new Intl.DateTimeFormat('pt-BR', { month: 'long' }).format(date);
  return name[0].toUpperCase() + name.slice(1) + '-' + date.getFullYear();
}
// No test may hang the suite: each gets at most this long.
const limit = { timeout: 30000 };
const two = (n) => String(n).padStart(2, '0');

describe('service spine', () => {
  let service;
  before(async () => { service = await startService(); });
  after(async () => { await service?.dispose(); });

  test('a ws client completes the wss handshake and exchanges frames', limit, async () => {
    const ws = await openClient(service);
    assert.equal(await pingPong(ws, 'first'), 'first');
    // A message without a route is read, routed and answered on the same connection.
    const reply = new Promise((resolve) => ws.once('message', (data, isBinary) => resolve({ data, isBinary })));
    ws.send('{}');
    const { data, isBinary } = await reply;
    assert.equal(isBinary, false);
    assert.deepEqual(JSON.parse(data.toString()), { type: 'error', message: 'Campo route nao encontrado.' });
    assert.equal(await pingPong(ws, 'still there'), 'still there');
    const closed = new Promise((resolve) => ws.once('close', (code) => resolve(code)));
    ws.close(1000);
    assert.equal(await closed, 1005, 'the close is answered with a close frame without status');
    await service.waitForLog('] Disconectado');
  });

  test('the console line says where it listens, its folder and log, and that the library is the stand-in', limit, async () => {
    await service.waitForStdout('\n');
    const now = new Date();
    const day = `${two(now.getDate())}-${two(now.getMonth() + 1)}-${now.getFullYear()}`;
    const folder = fs.realpathSync(service.dir) + '/';
    assert.equal(service.stdout,
      `Norvane TEF Server: listening on wss://localhost:${service.port}; folder ${folder}; ` +
      `log ${folder}Log/${monthFolder(now)}/NorvaneSiTefService ${day}.log; ` +
      'CliSiTef: STAND-IN library, no real payment can be taken; ' +
      'UNSAFE: the built-in token key lets anyone open a session (set [sitef] jwt_secret), ' +
      'any web page may connect (set [sitef] allowed_origins)\n');
    assert.match(service.logText(), /\] Atenção: .*dll\/CliSiTef32I\.dll é o simulador da CliSiTef; nenhum pagamento real será feito\./);
  });

  test('openssl s_client connects with TLS 1.2 and is refused with TLS 1.3', limit, () => {
    const tls12 = sClient(service.port, '-tls1_2');
    assert.match(tls12.stdout, /Protocol\s*: TLSv1\.2/);
    const tls13 = sClient(service.port, '-tls1_3');
    assert.notEqual(tls13.status, 0);
    assert.doesNotMatch(tls13.stdout, /Protocol\s*: TLSv1\.3/);
  });

  test('a client with a huge frame length loses only its own connection', limit, async () => {
    const socket = tls.connect({ host: '127.0.0.1', port: service.port, ca: service.caCert,
                                 servername: 'localhost' });
    await new Promise((resolve, reject) => { socket.once('secureConnect', resolve); socket.once('error', reject); });
    socket.write('GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
                 'Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n');
    socket.write(Buffer.from([0x81, 0xff, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4]));
    socket.resume();  // take the service's close frame, or 'close' never comes
    await new Promise((resolve) => socket.once('close', resolve));
    await service.waitForLog('] Mensagem recusada: ');
    const ws = await openClient(service);
    assert.equal(await pingPong(ws, 'ok'), 'ok');
    ws.terminate();
  });

  test('SIGUSR1 closes the port and SIGUSR2 opens it again on the re-read server_port', limit, async () => {
    const oldPort = service.port;
    service.signal('SIGUSR1');
    await service.waitForLog('] O serviço foi pausado.');
    assert.equal(await portOpen(oldPort), false);

    service.writeIni(await freePort());
    service.signal('SIGUSR2');
    await service.waitForLog('] O serviço foi retomado.');
    await service.waitForListener();
    assert.equal(await portOpen(oldPort), false);
    const ws = await openClient(service);
    assert.equal(await pingPong(ws, 'again'), 'again');
    ws.terminate();
  });

  test('SIGTERM writes the stop line and the process exits 0; the day\'s log holds the lines', limit, async () => {
    const result = await service.stop();
    assert.deepEqual(result, { code: 0, signal: null });
    const now = new Date();
    const day = `${two(now.getDate())}-${two(now.getMonth() + 1)}-${now.getFullYear()}`;
    const file = path.join(service.dir, 'Log', monthFolder(now), `NorvaneSiTefService ${day}.log`);
    const lines = fs.readFileSync(file, 'utf8').split('\n').filter(Boolean);
    const texts = lines.map((line) => {
      assert.match(line, /^\[\d\d\/\d\d\/\d{4} \d\d:\d\d:\d\d\] /);
      return line.slice(22);
    });
    const expected = ['Iniciando servidor socket.', 'O serviço foi inciado.', 'Disconectado',
                      'O serviço foi pausado.', 'Iniciando servidor socket.', 'O serviço foi retomado.',
                      'O serviço foi parado.'];
    let at = 0;
    for (const text of expected) {
      const found = texts.indexOf(text, at);
      assert.ok(found >= 0, `"${text}" missing or out of order in:\n${texts.join('\n')}`);
      at = found + 1;
    }
    assert.equal(texts.at(-1), 'O serviço foi parado.');
    const tefFolder = path.join(service.dir, 'Log', `${two(now.getMonth() + 1)}-${now.getFullYear()}`);
    assert.ok(fs.statSync(tefFolder).isDirectory(), 'the TEF log folder is made at start');
  });
});

test('INSTALL and UNINSTALL write and remove the systemd unit, without regard to case', limit, () => {
  const units = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-units-'));
  const executable = path.join(serviceDir, 'SvcNorvaneSiTef');
  const env = { ...process.env, NORVANE_SYSTEMD_DIR: units };
  const unit = path.join(units, 'NorvaneSiTefService.service');
  try {
    const install = spawnSync(executable, ['install', 'Silent'], { env, encoding: 'utf8' });
    assert.equal(install.status, 0, install.stderr);
    assert.equal(install.stdout, '', 'SILENT prints nothing');
    const text = fs.readFileSync(unit, 'utf8');
    assert.match(text, /^Description=Norvane TEF Server - Mantenha este serviço iniciado\.$/m);
    assert.match(text, new RegExp(`^ExecStart=${fs.realpathSync(executable).replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`, 'm'));

    const uninstall = spawnSync(executable, ['UNINSTALL'], { env, encoding: 'utf8' });
    assert.equal(uninstall.status, 0, uninstall.stderr);
    assert.notEqual(uninstall.stdout, '', 'without SILENT it says what it did');
    assert.equal(fs.existsSync(unit), false);
  } finally {
    fs.rmSync(units, { recursive: true, force: true });
  }
});
