'use strict';
// The built server (as staged in the build tree), started as the application starts it, and
// requests to it.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const BUILD = path.resolve(process.env.TOVRA_BUILD_DIR || path.join(__dirname, '../../build'));
const APP_DIR = path.join(BUILD, 'share/tovra-bridge/app');
// No JACK server has this name: the server's JACK output stays closed unless a test gives one.
const NO_JACK = { JACK_DEFAULT_SERVER: `tovra-test-none-${process.pid}` };

// `ready` resolves once it listens, `exited` on its exit; `output` is both streams. `runtime`:
// the command that runs node.
function startServer(port, dataDir, env = {}, appDir = APP_DIR, runtime = [process.execPath]) {
  const child = spawn(runtime[0], [...runtime.slice(1), path.join(appDir, 'server.js')], {
    cwd: appDir, env: { ...process.env, ...NO_JACK, TOVRA_BACKGROUND: '1', TOVRA_DATA_DIR: dataDir, PORT: String(port), ...env },
  });
  child.output = '';
  child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  child.ready = new Promise((resolve, reject) => {
    for (const stream of [child.stdout, child.stderr]) {
      stream.on('data', (d) => { child.output += d; if (/listening on http/.test(child.output)) resolve(child); });
    }
    child.exited.then(({ code }) => reject(new Error(`server exited with ${code}:\n${child.output}`)));
  });
  return child;
}

// A port that is free on every address, as the server listens there.
async function freePort() {
  const free = http.createServer().listen(0);
  return new Promise((resolve) => free.on('listening', () => { resolve(free.address().port); free.close(); }));
}

const request = (port, urlPath, { body, ...options } = {}) => new Promise((resolve, reject) => {
  http.request({ host: '127.0.0.1', port, path: urlPath, agent: false, ...options }, (res) => {
    let data = '';
    res.setEncoding('utf8').on('data', (d) => { data += d; }).on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
  }).on('error', reject).end(body);
});
const statusOf = async (...args) => (await request(...args)).status;
const jsonOf = async (...args) => JSON.parse((await request(...args)).body);

// POST /api/midi with `messages` as JSON, and what else `options` adds.
const postMidi = (port, messages, { headers = {}, ...options } = {}) => request(port, '/api/midi', {
  method: 'POST', headers: { 'Content-Type': 'application/json', ...headers },
  body: typeof messages === 'string' ? messages : JSON.stringify({ messages }), ...options,
});

const tempDir = () => fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'tovra-server-test-'));

module.exports = { BUILD, APP_DIR, startServer, freePort, request, statusOf, jsonOf, postMidi, tempDir };
