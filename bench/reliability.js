#!/usr/bin/env node
'use strict';
// Reliability figures of the built tovra-bridge against a hostile neighbour, a busy log and early
// signals, measured from outside; prints Markdown for docs/reliability.md. Needs port 4173 free.
//   node bench/reliability.js [build-dir] [--seconds 30] [--starts 50]
// Measures only: nothing passes or fails here (the end-to-end tests do that).
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const args = process.argv.slice(2);
const option = (name, fallback) => { const i = args.indexOf(`--${name}`); return i >= 0 ? Number(args[i + 1]) : fallback; };
process.env.TOVRA_BUILD_DIR = path.resolve(args.find((a, i) => !a.startsWith('--') && !args[i - 1]?.startsWith('--')) ?? 'build');
const h = require('../tests/e2e/lib');
const SECONDS = option('seconds', 30);
const STARTS = option('starts', 50);
const ticks = (pid) => { const f = h.read(`/proc/${pid}/stat`).slice(h.read(`/proc/${pid}/stat`).lastIndexOf(')') + 2).split(' '); return Number(f[11]) + Number(f[12]); };
const cpuOver = async (pid, ms) => { const before = ticks(pid); await h.sleep(ms); return (ticks(pid) - before) / (ms / 10); }; // % of a core at 100 ticks/s

// A squatter on both loopback addresses: every answer carries 5,000 headers of 200 bytes and a
// tempting body. It holds the port before the start and again in every relaunch gap.
async function squatter() {
  const s = await h.session({ server: 'built' });
  let asked = 0;
  const headers = Object.fromEntries(Array.from({ length: 5000 }, (_, i) => [`x-${i}`, 'y'.repeat(190)]));
  const answer = (req, res) => { asked++; res.writeHead(200, headers).end('{"version":"6","midiReady":true,"midiPort":"x","pairedClients":7,"phoneURL":"javascript:1"}'); };
  const servers = ['127.0.0.1', '::1'].map((host) => http.createServer(answer).listen(h.PORT, host));
  const app = s.start();
  await h.sleep(3000);
  const cpu = await cpuOver(app.pid, SECONDS * 1000);
  const result = { asked, opened: s.opened().length, cpu, launches: s.banners().length };
  servers.forEach((server) => server.close());
  await s.cleanup();
  return result;
}

// Our own server answering a body nested 500,000 levels deep once a second.
async function deepBody() {
  const s = await h.session({ server: `const body = '{"x":' + '['.repeat(500000) + ']'.repeat(500000) + '}';
require('node:http').createServer((q, r) => r.end(body)).listen(Number(process.env.PORT), '127.0.0.1');\n` });
  const app = s.start();
  await h.sleep(3000);
  const cpu = await cpuOver(app.pid, SECONDS * 1000);
  const rss = Number(/VmRSS:\s+(\d+)/.exec(h.read(`/proc/${app.pid}/status`))[1]) / 1024;
  await s.cleanup();
  return { cpu, rss };
}

// A server writing a line every 2 ms while another writer appends and a rotator empties the log.
async function logWriters() {
  const s = await h.session({ server: "let n = 0; setInterval(() => console.log(`server ${n++}`), 2);\n" });
  s.start();
  await h.waitFor('server lines', () => /server 10\n/.test(s.log()));
  let written = 0;
  let sinceTruncation = 0;
  for (let round = 0; round < 20; round++) {
    for (let i = 0; i < 100; i++) fs.appendFileSync(s.logFile, `other ${written++}\n`);
    if (round % 5 === 4 && round < 19) fs.truncateSync(s.logFile, 0), sinceTruncation = written;
    await h.sleep(50);
  }
  const log = s.log();
  const kept = new Set(log.split('\n').filter((line) => /^other \d+$/.test(line)).map((line) => Number(line.slice(6))));
  let lost = 0;
  for (let n = sinceTruncation; n < written; n++) lost += !kept.has(n);
  const result = { nul: [...log].filter((c) => c === '\0').length, lost, written: written - sinceTruncation };
  await s.cleanup();
  return result;
}

// SIGTERM so many ms after the start: how many starts still end with exit status 0.
async function earlySignals() {
  const s = await h.session({ server: 'built' });
  const rows = [];
  for (const delay of [0, 1, 2, 5]) {
    const outcomes = {};
    for (let i = 0; i < STARTS; i++) {
      const app = s.start();
      if (delay) await h.sleep(delay);
      process.kill(app.pid, 'SIGTERM');
      const { code, signal } = await app.exited;
      const outcome = signal ?? `exit ${code}`;
      outcomes[outcome] = (outcomes[outcome] ?? 0) + 1;
    }
    rows.push({ delay, outcomes });
  }
  await s.cleanup();
  return rows;
}

(async () => {
  const squat = await squatter();
  const deep = await deepBody();
  const log = await logWriters();
  const early = await earlySignals();
  console.log(`| Figure | Value |\n|---|---:|
| squatter answers believed (setup page opened) in ${SECONDS} s | ${squat.opened} |
| requests that reached the squatter | ${squat.asked} |
| app CPU while the squatter holds the port, % of one core | ${squat.cpu.toFixed(2)} % |
| launches of our server meanwhile (each failed: the port was taken) | ${squat.launches} |
| app CPU while its own server answers a body nested 500,000 deep, % of one core | ${deep.cpu.toFixed(2)} % |
| app resident memory then | ${deep.rss.toFixed(1)} MiB |
| NUL bytes in the log after 2,000 lines from a second writer and 3 truncations | ${log.nul} |
| lines of the second writer lost of the ${log.written} since the last truncation | ${log.lost} |
${early.map((r) => `| SIGTERM ${r.delay ? `${r.delay} ms after` : 'as soon as'} \`spawn\` returns: ${STARTS} starts ended by | ${Object.entries(r.outcomes).map(([k, n]) => `${k}: ${n}`).join(', ')} |`).join('\n')}`);
})();
