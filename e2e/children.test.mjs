// What the e2e helpers start goes with the run that started it, however the run ends, and a
// service that cannot start says why.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { describe, test } from 'node:test';
import { serviceDir, startService, waitFor } from './lib/service.mjs';

const limit = { timeout: 120000 };
const fixture = new URL('./fixtures/starts-and-ends.mjs', import.meta.url).pathname;

// Every process that still runs, by id: its state and process group. A zombie does not run
// any more (it only waits for its parent to reap it).
function runningProcesses() {
  const processes = new Map();
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    let stat;
    try {
      stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8');
    } catch {
      continue;  // ended while the list was read
    }
    // "pid (name) state ppid pgrp ...": the name may hold spaces and parentheses.
    const [state, , group] = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    if (state !== 'Z') processes.set(Number(name), { group: Number(group) });
  }
  return processes;
}

// The started processes, or members of their groups, that still run.
function leftRunning(pids) {
  const processes = runningProcesses();
  const left = [];
  for (const [what, pid] of Object.entries(pids)) {
    if (processes.has(pid)) left.push(`${what} ${pid}`);
    for (const [other, { group }] of processes)
      if (group === pid && other !== pid) left.push(`pid ${other} in the group of ${what}`);
  }
  return left;
}

describe('a run that started the service (and cupsd, and a shell with a child of its own) leaves nothing running', () => {
  const cases = [
    { ends: 'by an uncaught error', args: [fixture], end: 'throw', kill: null, exit: { code: 1, signal: null } },
    { ends: 'by SIGTERM', args: [fixture], end: 'hang', kill: 'SIGTERM', exit: { code: null, signal: 'SIGTERM' } },
    { ends: 'by SIGKILL (no hook runs)', args: [fixture], end: 'hang', kill: 'SIGKILL', exit: { code: null, signal: 'SIGKILL' } },
    { ends: 'when the `node --test` runner running it is killed by SIGKILL', args: ['--test', fixture], end: 'hang', kill: 'SIGKILL',
      exit: { code: null, signal: 'SIGKILL' } },
  ];
  for (const { ends, args, end, kill, exit } of cases) {
    test(`it ends ${ends}`, limit, async () => {
      const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-children-'));
      const pidsFile = path.join(scratch, 'pids.json');
      // Started the plain way: it is the run under test, and its own cleanup is what is
      // looked at. A failing test kills it below, which is one of the cases.
      // Without this file's own NODE_TEST_CONTEXT, which would make it a test file of ours.
      const { NODE_TEST_CONTEXT, ...env } = process.env;
      const run = spawn(process.execPath, args, {
        env: { ...env, NORVANE_FIXTURE_PIDS: pidsFile, NORVANE_FIXTURE_END: end },
        stdio: ['ignore', 'pipe', 'pipe'],
      });
      let output = '';
      run.stdout.on('data', (d) => { output += d; });
      run.stderr.on('data', (d) => { output += d; });
      const exited = new Promise((resolve) => run.once('exit', (code, signal) => resolve({ code, signal })));
      let folders = [];
      try {
        await waitFor(() => fs.existsSync(pidsFile) || run.exitCode !== null,
          { timeoutMs: 60000, what: 'the run to start its children' });
        assert.ok(fs.existsSync(pidsFile), `the run ended before starting its children: ${output}`);
        // Under `node --test` the run's process is the test file's, which must end as well.
        const started = JSON.parse(fs.readFileSync(pidsFile, 'utf8'));
        const { pids } = started;
        folders = started.folders;
        if (kill) run.kill(kill);
        assert.deepEqual(await exited, exit, output);
        if (end === 'throw') assert.match(output, /the run fails here on purpose/);
        await waitFor(() => leftRunning(pids).length === 0, { what: 'the started processes to end' })
          .catch(() => assert.fail(`still running: ${leftRunning(pids).join(', ')}`));
      } finally {
        run.kill('SIGKILL');
        for (const folder of [scratch, ...folders]) fs.rmSync(folder, { recursive: true, force: true });
      }
    });
  }
});

test('a service that cannot listen says why at once instead of a time-out', limit, async () => {
  const from = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-nocerts-'));
  try {
    fs.cpSync(serviceDir, from, { recursive: true });
    fs.rmSync(path.join(from, 'Certificado'), { recursive: true, force: true });
    await assert.rejects(startService({ from }), (error) => {
      assert.match(error.message, /the service said "Norvane TEF Server: not listening \(.*server_cert\.pem.*\)/);
      return true;
    });
  } finally {
    fs.rmSync(from, { recursive: true, force: true });
  }
});
