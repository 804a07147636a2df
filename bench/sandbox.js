'use strict';
// Helpers of bench/run: readings from /proc, polling, and a sandbox in which programs run in a
// process group of their own, each with a temporary home. Node's standard library only.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const now = () => Number(process.hrtime.bigint()) / 1e6; // CLOCK_MONOTONIC in ms, as in the servers
const readOr = (file, fallback = null) => { try { return fs.readFileSync(file, 'utf8'); } catch { return fallback; } };

// State, parent, and CPU time in clock ticks (own; waited-for children's) from /proc/<pid>/stat.
function stat(pid) {
  const text = readOr(`/proc/${pid}/stat`);
  if (!text) return null;
  const f = text.slice(text.lastIndexOf(')') + 2).split(' ').map((x, i) => (i ? Number(x) : x));
  return { state: f[0], ppid: f[1], cpu: f[11] + f[12], childCpu: f[13] + f[14] };
}
// Context switches of all threads of `pid` so far: { voluntary, involuntary }.
function switches(pid) {
  const total = { voluntary: 0, involuntary: 0 };
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    const status = readOr(`/proc/${pid}/task/${tid}/status`, '');
    total.voluntary += Number(/^voluntary_ctxt_switches:\s+(\d+)/m.exec(status)?.[1] ?? 0);
    total.involuntary += Number(/^nonvoluntary_ctxt_switches:\s+(\d+)/m.exec(status)?.[1] ?? 0);
  }
  return total;
}
const rssKiB = (pid) => Number(/VmRSS:\s+(\d+)/.exec(readOr(`/proc/${pid}/status`, ''))?.[1] ?? NaN);

// Run time in ms of all threads of `pid` over the next `windowMs`: each thread's schedstat (ns) is
// read every 100 ms, so a thread that ends within the window loses at most its last 100 ms.
async function threadCpuOver(pid, windowMs) {
  const last = new Map();
  let total = 0;
  const end = now() + windowMs;
  for (let first = true; ; first = false) {
    for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
      const ns = Number(readOr(`/proc/${pid}/task/${tid}/schedstat`)?.split(' ')[0] ?? NaN);
      if (Number.isNaN(ns)) continue; // ended meanwhile
      if (!first) total += ns - (last.get(tid) ?? 0);
      last.set(tid, ns);
    }
    if (now() >= end) return total / 1e6;
    await sleep(100);
  }
}

// Polls `check` every `interval` ms; with 0, every 0.2 ms or so, blocking the event loop meanwhile.
const CELL = new Int32Array(new SharedArrayBuffer(4));
async function waitFor(what, check, timeout = 10000, interval = 20) {
  const end = now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return { value, at: now() };
    if (now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    if (interval) await sleep(interval);
    else Atomics.wait(CELL, 0, 0, 0.2);
  }
}

// The live children of `pid` (with `withZombies`, also those ended and not yet reaped).
// /proc/<pid>/task/*/children is missing on some kernels, so each call reads the parent of the
// pids it has not seen before only (about 0.1 ms a call).
function childrenOf(pid, withZombies = false) {
  const checked = new Set();
  const kids = new Set();
  return () => {
    for (const name of fs.readdirSync('/proc')) {
      if (checked.has(name) || !/^\d+$/.test(name)) continue;
      checked.add(name);
      if (stat(name)?.ppid === pid) kids.add(Number(name));
    }
    return [...kids].filter((kid) => {
      const s = stat(kid);
      return s && s.ppid === pid && (withZombies || s.state !== 'Z');
    });
  };
}

// The live children of `pid`'s live children: the servers that an app's guards run. Each pid's
// parent is read once, when it is first seen; only those below a live child are read again.
function grandchildrenOf(pid) {
  const children = childrenOf(pid);
  const parentOf = new Map();
  return () => {
    for (const name of fs.readdirSync('/proc')) {
      if (!parentOf.has(name) && /^\d+$/.test(name)) parentOf.set(name, stat(name)?.ppid);
    }
    const parents = new Set(children()); // after the walk: a server's guard is there by now
    const found = [];
    for (const [name, parent] of parentOf) {
      if (!parents.has(parent)) continue;
      const s = stat(name);
      if (s && parents.has(s.ppid) && s.state !== 'Z') found.push(Number(name));
    }
    return found;
  };
}

async function assertPortFree(port) {
  for (const host of ['127.0.0.1', '::1']) {
    const taken = await new Promise((resolve) => {
      const socket = net.connect({ host, port }, () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (taken) {
      const who = spawnSync('ss', ['-Hltnp', `sport = :${port}`], { encoding: 'utf8' }).stdout?.trim() ?? '';
      throw new Error(`port ${port} on ${host} is in use by another process; stop it and run again\n${who}`);
    }
  }
}

// A temporary root for homes and bundles, with a recording xdg-open first on PATH. What is started
// here leads a process group of its own (an app's server children stay in it); at exit every group
// not seen to end is killed and the root removed. `bin` holds the built tovra-bridge.
function createSandbox(bin) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-bench-'));
  fs.mkdirSync(path.join(root, 'bin'));
  fs.writeFileSync(path.join(root, 'bin', 'xdg-open'), `#!/bin/sh\necho "$*" >> '${root}/xdg-open.calls'\n`,
    { mode: 0o755 });
  const groups = [];
  const notes = []; // anything unexpected on the way, reported beside the figures
  const groupAlive = (pgid) => { try { process.kill(-pgid, 0); return true; } catch { return false; } };
  process.on('exit', () => {
    for (const g of groups) if (!g.ended) try { process.kill(-g.pid, 'SIGKILL'); } catch {}
    fs.rmSync(root, { recursive: true, force: true });
  });
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => process.exit(130));

  return {
    root,
    notes,
    // A temporary home whose user has seen the setup page already, so no browser is asked for.
    home(name) {
      const dir = path.join(root, name);
      for (const sub of ['.config/Tovra', 'run']) fs.mkdirSync(path.join(dir, sub), { recursive: true, mode: 0o700 });
      fs.writeFileSync(path.join(dir, '.config/Tovra/Tovra Bridge.conf'), '[General]\nTovraDidOpenSetupV1=true\n');
      return dir;
    },
    logOf: (homeDir) => readOr(path.join(homeDir, '.local', 'state', 'Tovra', 'Tovra Bridge.log'), ''),

    // A copy of the launcher and the application beside share/tovra-bridge/{runtime/node-arm64,
    // app/server.js}.
    bundle(name, serverScript) {
      const share = path.join(root, name, 'share', 'tovra-bridge');
      for (const dir of ['share/tovra-bridge/runtime', 'share/tovra-bridge/app', 'bin', 'libexec/tovra-bridge']) {
        fs.mkdirSync(path.join(root, name, dir), { recursive: true });
      }
      for (const file of ['bin/tovra-bridge', 'libexec/tovra-bridge/tovra-bridge', 'libexec/tovra-bridge/tovra-guard']) {
        fs.copyFileSync(path.join(bin, '..', file), path.join(root, name, file));
        fs.chmodSync(path.join(root, name, file), 0o755);
      }
      const binary = path.join(root, name, 'bin', 'tovra-bridge');
      fs.symlinkSync(process.execPath, path.join(share, 'runtime', 'node-arm64'));
      fs.writeFileSync(path.join(share, 'app', 'server.js'), serverScript);
      return binary;
    },

    // Starts a program with a clean environment and no display; output goes to <home>/output.txt.
    start(file, args, homeDir, extraEnv = {}) {
      const env = { PATH: `${root}/bin:${process.env.PATH}`, HOME: homeDir, XDG_CONFIG_HOME: `${homeDir}/.config`,
        XDG_RUNTIME_DIR: `${homeDir}/run`, QT_QPA_PLATFORM: 'offscreen', LANG: 'C.UTF-8', ...extraEnv };
      const output = fs.openSync(path.join(homeDir, 'output.txt'), 'a');
      const child = spawn(file, args, { env, detached: true, stdio: ['ignore', output, output] });
      fs.closeSync(output);
      const g = { pid: child.pid, ended: false, home: homeDir };
      g.exited = new Promise((resolve) => {
        child.once('exit', (code, signal) => resolve({ code, signal }));
        child.once('error', (error) => resolve({ error: error.message }));
      });
      groups.push(g);
      return g;
    },

    // SIGTERM to the leader, then waits until its whole group has ended (SIGKILL after 10 s).
    async stop(g, name, { quitsWithZero = true } = {}) {
      try { process.kill(g.pid, 'SIGTERM'); } catch {}
      const exit = await Promise.race([g.exited, sleep(10000).then(() => null)]);
      if (!exit || (quitsWithZero && exit.code !== 0)) notes.push(`${name} on SIGTERM: ${JSON.stringify(exit)}`);
      try {
        await waitFor(`${name}'s process group to end`, () => !groupAlive(g.pid));
      } catch (error) {
        notes.push(`${error.message}; killed`);
        process.kill(-g.pid, 'SIGKILL');
        await waitFor(`${name}'s process group to die`, () => !groupAlive(g.pid));
      }
      g.ended = true;
    },

    assertAlive(g, name) {
      if ((stat(g.pid)?.state ?? 'Z') === 'Z') throw new Error(`${name} exited:\n${readOr(`${g.home}/output.txt`)}`);
    },
  };
}

module.exports = {
  sleep, now, readOr, stat, switches, rssKiB, threadCpuOver, waitFor, childrenOf, grandchildrenOf, assertPortFree, createSandbox,
};
