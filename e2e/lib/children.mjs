// Processes a test or benchmark starts (the service, a private cupsd), stopped when the Node
// process that started them ends, however it ends, so that a run that throws or is killed
// leaves nothing running:
//  - each child leads a process group of its own, so that what it starts in turn (the
//    service's print program, cupsd's filters that stay in its group) goes with it;
//  - a synchronous 'exit' hook kills every group still running. Node runs it also when it
//    ends on a thrown error or an unhandled rejection (it prints the error, then exits);
//  - SIGINT, SIGTERM and SIGHUP kill the groups and then end Node by the same signal;
//  - a SIGKILL runs no hook at all: beside each child a small shell holds a pipe from this
//    process and kills the child's group when the pipe ends, which is when this process is
//    gone, however it went;
//  - a test file run by `node --test` ends itself when the runner is gone (its standard
//    input, the runner's socket, ends), instead of running its tests on for no one.
// The ordinary stop (SIGTERM and waiting for the exit) stays the owner's; when a child ends
// its group is killed (what it left behind) and its watcher ended.
import { spawn } from 'node:child_process';
import fs from 'node:fs';

const running = new Map();  // child → its watcher

// `read` returns at the end of the pipe; the signals a terminal sends to the whole
// foreground group are ignored, so the watcher outlives a Ctrl-C of the runner. (dash's
// `kill` takes no "--": a negative number after the signal is the group.)
const watcherScript = 'trap "" INT TERM HUP; read line; kill -KILL "-$1" 2>/dev/null; exit 0';

function killGroup(pid) {
  try {
    process.kill(-pid, 'SIGKILL');
  } catch {
    // The group is empty already.
  }
}

function stopAll() {
  for (const [child, watcher] of running) {
    killGroup(child.pid);
    watcher.kill('SIGKILL');
  }
  running.clear();
}

let hooked = false;

function hookProcessEnd() {
  if (hooked) return;
  hooked = true;
  process.on('exit', stopAll);
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.on(signal, function stopAndEnd() {
      stopAll();
      // Another listener (a test runner's) decides what the signal does; alone, ours ends
      // the process as the signal would have.
      if (process.listenerCount(signal) === 1) {
        process.removeListener(signal, stopAndEnd);
        process.kill(process.pid, signal);
      }
    });
  }
  let input;
  try {
    input = fs.fstatSync(0);
  } catch {
    return;
  }
  if (process.env.NODE_TEST_CONTEXT && (input.isSocket() || input.isFIFO())) {
    process.stdin.on('end', () => {
      console.error('the test runner is gone: stopping this test file and what it started');
      process.exit(1);
    });
    process.stdin.resume();
    process.stdin.unref();
  }
}

// child_process.spawn, with the child stopped when this process ends (see above). Options
// are spawn's; `detached` is always set (it makes the child a group leader).
export function spawnOwned(command, args, options = {}) {
  hookProcessEnd();
  const child = spawn(command, args, { ...options, detached: true });
  if (child.pid === undefined) return child;  // not started: spawn reports it by 'error'
  const watcher = spawn('/bin/sh', ['-c', watcherScript, 'norvane-child-watcher', String(child.pid)],
    { stdio: ['pipe', 'ignore', 'ignore'] });
  watcher.unref();
  watcher.stdin.unref();
  // The watcher's end is of no interest, and the pipe to it fails only once it is gone.
  watcher.on('error', () => {});
  watcher.stdin.on('error', () => {});
  running.set(child, watcher);
  child.once('exit', () => {
    if (!running.has(child)) return;
    running.delete(child);
    killGroup(child.pid);
    watcher.kill('SIGKILL');
  });
  return child;
}
