'use strict';
// Phones playing, for the phone figures of bench/run: one WebSocket per secret, as the controller
// page opens it, reaching the server over loopback.
//   node phone_sender.js URL HOST ORIGIN COUNT INTERVAL_MS SECRET...
// Says "ready" on standard error once every socket is open, waits for a line on standard input,
// then every INTERVAL_MS sends from each phone i (channel i + 1) the next of COUNT control changes
// numbered 0, 1, ... (control = n >> 7 & 127, value = n & 127). Prints the CLOCK_MONOTONIC time in
// microseconds just before each send of the first phone, one a line. With an interval of 4 ms or
// more it spins for the last 2 ms before each due time, so that sends keep their pace to the
// microsecond; below that it sends what is due on each timer, in order.
const WebSocket = require('ws');

const [url, host, origin, count, interval, ...secrets] = process.argv.slice(2);
const total = Number(count);
const every = Number(interval) * 1000;
const now = () => Number(process.hrtime.bigint() / 1000n);

const open = (secret) => new Promise((resolve, reject) => {
  const ws = new WebSocket(url, ['tovra', `secret.${secret}`], { origin, headers: { Host: host } });
  ws.once('open', () => resolve(ws));
  ws.once('error', reject);
});

async function main() {
  const sockets = await Promise.all(secrets.map(open));
  console.error('ready');
  await new Promise((resolve) => process.stdin.once('data', resolve));
  const times = [];
  const start = now();
  for (let n = 0; n < total; n++) {
    const due = start + n * every;
    if (due - now() > 2000) await new Promise((resolve) => setTimeout(resolve, (due - now() - 2000) / 1000));
    if (every >= 4000) while (now() < due);
    else if (due > now()) await new Promise((resolve) => setTimeout(resolve, (due - now()) / 1000));
    times.push(now());
    const body = `"control":${(n >> 7) & 127},"value":${n & 127}}`;
    sockets.forEach((ws, i) => ws.send(`{"kind":"controlChange","channel":${i + 1},${body}`));
  }
  // Everything is out once each socket's buffer is empty.
  while (sockets.some((ws) => ws.bufferedAmount > 0)) await new Promise((resolve) => setTimeout(resolve, 10));
  process.stdout.write(`${times.join('\n')}\n`);
  sockets.forEach((ws) => ws.close());
  process.stdin.destroy();
}

main().catch((error) => { console.error(error.stack); process.exit(1); });
