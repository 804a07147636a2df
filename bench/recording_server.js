'use strict';
// A server.js for the benchmarks: answers /health like the bridge server and appends a line to
// $TOVRA_BENCH_RECORD when it starts listening and when it has handed its first health answer to
// the kernel. Times: CLOCK_MONOTONIC in ns (process.hrtime), comparable across processes.
const fs = require('node:fs');
const http = require('node:http');

const record = (event) => fs.appendFileSync(process.env.TOVRA_BENCH_RECORD,
  JSON.stringify({ pid: process.pid, event, at: Number(process.hrtime.bigint()) }) + '\n');
const body = JSON.stringify({ version: 'bench', midiReady: true, midiPort: 'Bench MIDI', pairedClients: 1 });
let answered = false;
let listening = 0;

function handle(req, res) {
  if (req.url !== '/health') return void res.writeHead(404).end();
  res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': body.length });
  res.end(body, () => {
    if (!answered) record('answered');
    answered = true;
  });
}

for (const host of ['127.0.0.1', '::1']) {
  http.createServer(handle)
    .on('error', (error) => { record(`error ${host} ${error.code}`); process.exit(1); })
    .listen(Number(process.env.PORT), host, () => { if (listening++ === 0) record('listening'); });
}
