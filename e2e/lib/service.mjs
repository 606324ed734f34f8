// Runs the installed service folder for an end-to-end test: a private copy of the folder
// without what an earlier run left in it (so tests never share logs, ini files or the
// stand-in library's state), an ini with a free loopback port, the process started in the
// foreground, and helpers to wait for its console line and read its log.
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { spawnOwned } from './children.mjs';

export const serviceDir = process.env.NORVANE_SERVICE_DIR;
if (!serviceDir) throw new Error('NORVANE_SERVICE_DIR must name the installed service folder');

export async function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export function portOpen(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// Polls, for what gives no event to wait on: another process's memory, a port of a daemon
// without a readiness signal, a print server's job list. The service's own console and log
// are waited on through their events (waitForStdout, waitForLog).
export async function waitFor(condition, { timeoutMs = 10000, what = 'condition' } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    if (await condition()) return;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// The ini text for a port plus extra [sitef] keys ({ printer: 'x' }).
export function iniText(port, extra = {}) {
  const lines = ['[sitef]', `server_port=${port}`];
  for (const [key, value] of Object.entries(extra)) lines.push(`${key}=${value}`);
  return lines.join('\r\n') + '\r\n';
}

export class RunningService {
  constructor(dir, port, child) {
    this.dir = dir;
    this.port = port;
    this.child = child;
    this.stdout = '';
    this.stderr = '';
    child.stdout.on('data', (d) => { this.stdout += d; });
    // NORVANE_E2E_STDERR_DIR keeps every run's standard error in a file there (a sanitizer
    // build reports on it, also for a process no test looks at).
    const keep = process.env.NORVANE_E2E_STDERR_DIR &&
      path.join(process.env.NORVANE_E2E_STDERR_DIR, `service-${child.pid}.stderr`);
    child.stderr.on('data', (d) => {
      this.stderr += d;
      if (keep) fs.appendFileSync(keep, d);
    });
    this.exited = new Promise((resolve) => {
      child.once('exit', (code, signal) => resolve({ code, signal }));
    });
  }

  // Resolves once the service's console says `text`; rejects when it exits first, when what
  // its console says from now on matches `refusal` (a RegExp) instead, or after `timeoutMs`,
  // with what the service said of itself (see lastWords).
  waitForStdout(text, timeoutMs = 30000, refusal = null) {
    const from = this.stdout.length;
    return new Promise((resolve, reject) => {
      const done = (error) => {
        clearTimeout(timer);
        this.child.stdout.off('data', look);
        this.child.off('exit', gone);
        if (error) reject(new Error(`${error}\n${this.lastWords()}`)); else resolve();
      };
      const look = () => {
        const refused = refusal?.exec(this.stdout.slice(from));
        if (this.stdout.includes(text)) done();
        else if (refused) done(`the service said "${refused[0].trim()}" instead of "${text}"`);
      };
      const gone = (code, signal) => done(`the service exited (${signal ?? `code ${code}`}) before saying "${text}"`);
      const timer = setTimeout(() => done(`the service did not say "${text}" within ${timeoutMs} ms`), timeoutMs);
      this.child.stdout.on('data', look);
      this.child.once('exit', gone);
      look();
    });
  }

  // The console line of a started listener; the service that cannot listen says so on its
  // console at once ("not listening (why)") and stays up, waiting to be paused and continued.
  waitForListener() {
    return this.waitForStdout(`listening on wss://localhost:${this.port};`, 30000, /Norvane TEF Server: not listening[^\n]*\n/);
  }

  // What the service said of itself so far, for the error of a wait that ended in vain: its
  // console, its standard error and the last lines of its log.
  lastWords(logLines = 10) {
    const tail = (text, count) => text.split(/\r?\n/).filter(Boolean).slice(-count);
    const part = (title, lines) => (lines.length ? [`${title}:`, ...lines.map((l) => `  ${l}`)] : [`${title}: (nothing)`]);
    return [
      ...part('console', tail(this.stdout, 5)),
      ...part('standard error', tail(this.stderr, 20)),
      ...part(`log (last ${logLines} lines)`, tail(this.logText(), logLines)),
    ].join('\n');
  }

  get caCert() { return fs.readFileSync(path.join(this.dir, 'Certificado', 'ca_cert.pem')); }
  get executable() { return path.join(this.dir, 'SvcNorvaneSiTef'); }

  writeIni(port, extra = {}) {
    fs.writeFileSync(path.join(this.dir, 'SvcNorvaneSiTef.ini'), iniText(port, extra));
    this.port = port;
  }

  signal(name) { this.child.kill(name); }

  // Every service log line written so far, all days and months together.
  logText() {
    const logDir = path.join(this.dir, 'Log');
    if (!fs.existsSync(logDir)) return '';
    let text = '';
    for (const month of fs.readdirSync(logDir)) {
      const monthDir = path.join(logDir, month);
      for (const file of fs.readdirSync(monthDir)) {
        if (file.startsWith('NorvaneSiTefService ')) text += fs.readFileSync(path.join(monthDir, file), 'utf8');
      }
    }
    return text;
  }

  // Resolves once the log holds `line`; rejects when the service exits without having
  // written it. The log is read again on each change in its folders: the service folder
  // (where the log folder appears), the log folder (a new month) and each month's folder
  // (a new day's file, a line appended).
  // `line` is a text the log must contain, or a RegExp it must match.
  waitForLog(line, timeoutMs = 10000) {
    const logDir = path.join(this.dir, 'Log');
    const found = () => (line instanceof RegExp ? line.test(this.logText()) : this.logText().includes(line));
    return new Promise((resolve, reject) => {
      const watchers = new Map();  // folder → its watcher
      let settled = false;
      const settle = (error) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        this.child.off('exit', exited);
        for (const watcher of watchers.values()) watcher.close();
        if (error) reject(error); else resolve();
      };
      const watch = (dir) => {
        if (watchers.has(dir)) return;
        try {
          const watcher = fs.watch(dir, look);
          watcher.on('error', () => { watcher.close(); watchers.delete(dir); });
          watchers.set(dir, watcher);
        } catch {
          // Not made yet: the watch on the folder above sees it come.
        }
      };
      const look = () => {
        if (settled) return;
        watch(this.dir);
        watch(logDir);
        if (fs.existsSync(logDir)) {
          for (const entry of fs.readdirSync(logDir, { withFileTypes: true }))
            if (entry.isDirectory()) watch(path.join(logDir, entry.name));
        }
        if (found()) settle();
      };
      const exited = () => {
        if (found()) settle();
        else settle(new Error(`the service exited without logging "${line}": ${this.stderr}`));
      };
      const timer = setTimeout(() => settle(new Error(`log line "${line}" not written within ${timeoutMs} ms`)), timeoutMs);
      if (this.child.exitCode !== null || this.child.signalCode !== null) exited();
      else this.child.once('exit', exited);
      look();
    });
  }

  // SIGTERM and wait for the exit; the folder is removed afterwards.
  async stop() {
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill('SIGTERM');
    const result = await this.exited;
    return result;
  }

  async dispose() {
    await this.stop();
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

async function launch(dir, port, env, waitForListener) {
  const child = spawnOwned(path.join(dir, 'SvcNorvaneSiTef'), [], {
    cwd: dir,
    env: { ...process.env, LC_TIME: 'pt_BR.UTF-8', ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const service = new RunningService(dir, port, child);
  if (waitForListener) {
    try {
      await service.waitForListener();
    } catch (error) {
      // A service that cannot listen stays up, waiting to be mended; no caller holds it.
      service.signal('SIGKILL');
      await service.exited;
      throw error;
    }
  }
  return service;
}

// What a run of the service leaves in its folder (the README's demo, a hand test) and no test
// may inherit: its log, backups of approved payments, the TLS settings a session start
// writes, print files, and the stand-in library's journal and pending sales.
const leftByARun = ['Log', 'TEF', 'dll/CONFITLS.INI', 'dll/CliSiTef.journal', 'dll/CliSiTef.pendentes'];
const printFile = /_Temp\./;
// The stand-in's settings as installed, whatever a hand test changed in the folder.
const installedStandIn = new URL('../../tools/clisitef-sim/CliSiTef.ini', import.meta.url);

// Copies the service folder (`from`, the installed one unless given) without what a run left
// in it, writes its ini and starts it; resolves once the service says it listens.
export async function startService({ extraIni = {}, env = {}, waitForListener = true, from = serviceDir } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-e2e-'));
  fs.cpSync(from, dir, { recursive: true, filter: (source) => !printFile.test(path.basename(source)) });
  for (const left of leftByARun) fs.rmSync(path.join(dir, left), { recursive: true, force: true });
  if (fs.existsSync(path.join(dir, 'dll', 'CliSiTef.ini'))) fs.copyFileSync(installedStandIn, path.join(dir, 'dll', 'CliSiTef.ini'));
  const port = await freePort();
  fs.writeFileSync(path.join(dir, 'SvcNorvaneSiTef.ini'), iniText(port, extraIni));
  try {
    return await launch(dir, port, env, waitForListener);
  } catch (error) {
    fs.rmSync(dir, { recursive: true, force: true });
    throw error;
  }
}

// Stops the service and starts it again in the same folder on the same port, as a
// workstation does when the service is restarted.
export async function restartService(service, env = {}) {
  await service.stop();
  return launch(service.dir, service.port, env, true);
}

// Sets keys of the stand-in CliSiTef library's settings (dll/CliSiTef.ini of a service
// folder), keeping the others; it reads them again at every function start.
export function configureStandIn(dir, values) {
  const file = path.join(dir, 'dll', 'CliSiTef.ini');
  let lines = fs.readFileSync(file, 'utf8').split(/\r?\n/);
  for (const [key, value] of Object.entries(values)) {
    const at = lines.findIndex((line) => line.toLowerCase().startsWith(`${key.toLowerCase()}=`));
    if (at >= 0) lines[at] = `${key}=${value}`;
    else lines = [...lines.slice(0, lines.indexOf('[Simulator]') + 1), `${key}=${value}`, ...lines.slice(lines.indexOf('[Simulator]') + 1)];
  }
  fs.writeFileSync(file, lines.join('\n'));
}
