'use strict';
// A phone that sends COUNT control changes over about a second, from a process of its own:
//   node flood.js SOCKET_URL HOST ORIGIN SECRET COUNT
// (SOCKET_URL reaches the server, HOST is the name the request gives it.)
// Prints "sent <ms>" once a ping sent after the last message has come back (so the server has read
// them all), and exits.
const WebSocket = require('ws');

const [url, host, origin, secret, count] = process.argv.slice(2);
const ws = new WebSocket(url, ['tovra', `secret.${secret}`], { origin, headers: { Host: host } });
ws.on('error', (err) => { console.error(err.message); process.exit(1); });
ws.on('message', (data) => {
  if (data.toString() !== '{"kind":"pong"}') return;
  console.log(`sent ${Date.now() - started}`);
  ws.close();
});
let started;
ws.on('open', async () => {
  started = Date.now();
  const total = Number(count);
  for (let n = 0; n < total; n++) {
    ws.send(`{"kind":"controlChange","channel":1,"control":${(n >> 7) & 127},"value":${n & 127}}`);
    // In slices of 1 %, each at its time: the whole in about a second.
    if (n % (total / 100) === total / 100 - 1) {
      await new Promise((resolve) => setTimeout(resolve, Math.max(0, ((n + 1) * 1000) / total - (Date.now() - started))));
    }
  }
  ws.send('{"kind":"ping"}');
});
