'use strict';
// The stand-in bridge server that came before the real one, kept for the benchmarks: the poll's
// cost is measured against it (a single file with Node's standard library only), and the real
// server's memory beside it.
//
// The real bridge server drives MIDI output and pairs phones that act as
// remote controllers. This stand-in has no MIDI backend: it serves the same
// endpoints with the same response shapes (/health, /api/setup, /setup,
// /controller, /api/pair) so the tray application can be built and tested
// against it. MIDI readiness is faked through TOVRA_FAKE_MIDI.
//
// It listens on every address, because the phone comes over the network, but
// only the controller and pairing answer there, and only to holders of the
// pairing token. /health, /api/setup and /setup answer loopback clients only.
//
// Environment: PORT (default 4173), TOVRA_DATA_DIR (where the pairing token
// is kept), TOVRA_FAKE_MIDI ("0" = MIDI not ready), TOVRA_BACKGROUND (ignored).
// Needs Node.js 18.2 or newer (http.Server.closeAllConnections).

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const VERSION = '0.1.0-standin';
const FAKE_MIDI_PORT = 'Tovra Virtual MIDI';
const MAX_BODY_BYTES = 4096;
const MAX_PAIRED_CLIENTS = 64;
const TOKEN_FILE = 'pairing.json';
const TOKEN_PATTERN = /^[A-Za-z0-9_-]{43}$/; // 32 bytes, base64url
const CLIENT_ID_PATTERN = /^[A-Za-z0-9_-]{8,64}$/;

function log(message) {
  console.log(`${new Date().toISOString()} ${message}`);
}

function logError(message) {
  console.error(`${new Date().toISOString()} error: ${message}`);
}

// True for 127.0.0.0/8, ::1 and IPv4-mapped 127.x addresses.
function isLoopback(address) {
  if (typeof address !== 'string') return false;
  let addr = address.toLowerCase();
  if (addr.startsWith('::ffff:')) addr = addr.slice(7);
  if (net.isIPv4(addr)) return addr.startsWith('127.');
  return addr === '::1' || addr === '0:0:0:0:0:0:0:1';
}

// Host header check against DNS rebinding: a web page whose name resolves to
// 127.0.0.1 would pass the address check but still carries its own Host.
// Accepted: localhost, an IPv4 loopback literal or [::1], each with an optional
// numeric port. Browsers always send Host, so a missing one is not a browser.
function isLocalHostHeader(host) {
  if (host === undefined) return true;
  const match = /^(\[::1\]|[^[\]:]+)(?::\d+)?$/.exec(String(host).toLowerCase());
  if (!match) return false;
  const name = match[1];
  return name === 'localhost' || name === '[::1]' || (net.isIPv4(name) && isLoopback(name));
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({
    '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;',
  })[c]);
}

function tokensMatch(given, expected) {
  if (typeof given !== 'string') return false;
  const a = Buffer.from(given, 'utf8');
  const b = Buffer.from(expected, 'utf8');
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

function readTokenFile(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    if (err.code === 'ENOENT') return null;
    throw err;
  }
  try {
    const { token } = JSON.parse(text);
    if (TOKEN_PATTERN.test(token)) return token;
  } catch {}
  log('Pairing token file is invalid, creating a new token');
  return null;
}

// The pairing token lives in <dataDir>/pairing.json, created on first use and
// reused across restarts. Written to a temp file first, then renamed into place.
function loadOrCreateToken(dataDir) {
  const file = path.join(dataDir, TOKEN_FILE);
  const saved = readTokenFile(file);
  if (saved) return saved;
  fs.mkdirSync(dataDir, { recursive: true, mode: 0o700 });
  const token = crypto.randomBytes(32).toString('base64url');
  const tmp = path.join(dataDir, `.${TOKEN_FILE}.${process.pid}.${crypto.randomBytes(4).toString('hex')}.tmp`);
  try {
    const fd = fs.openSync(tmp, 'wx', 0o600);
    try {
      fs.writeFileSync(fd, JSON.stringify({ token }) + '\n');
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(tmp, file);
  } catch (err) {
    fs.rmSync(tmp, { force: true });
    throw err;
  }
  return token;
}

// The phone reaches this machine by its first non-internal IPv4 address. With
// no network there is only this computer to open the link, on loopback.
function lanHost() {
  for (const addrs of Object.values(os.networkInterfaces())) {
    for (const a of addrs || []) {
      if ((a.family === 'IPv4' || a.family === 4) && !a.internal) return a.address;
    }
  }
  return '127.0.0.1';
}

// The token goes in the query, as the server must see it to serve the page;
// the page removes it from the address bar at once, and every response says
// "no-referrer", so it does not travel further.
function phoneUrl(host, port, token) {
  const url = new URL('http://localhost/controller');
  url.hostname = host; // an invalid name is ignored and leaves "localhost"
  url.port = String(port);
  url.searchParams.set('token', token);
  return url.href;
}

function queryToken(req) {
  const start = req.url.indexOf('?');
  return start < 0 ? null : new URLSearchParams(req.url.slice(start + 1)).get('token');
}

function renderSetupPage(link) {
  return `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tovra Bridge setup</title>
<style>body{font-family:sans-serif;max-width:40em;margin:2em auto;padding:0 1em}
code{display:block;padding:.8em;background:#eee;word-break:break-all;user-select:all}</style>
</head><body>
<h1>Connect your phone</h1>
<p>Open this link on your phone (on the same network as this computer) to pair it:</p>
<code id="phone-link">${escapeHtml(link)}</code>
<p>Keep this link private: anyone who has it can pair with this computer.</p>
</body></html>
`;
}

const CONTROLLER_SCRIPT = `
const status = document.getElementById('status');
const token = new URLSearchParams(location.search).get('token');
history.replaceState(null, '', location.pathname);
function clientId() {
  let id = null;
  try { id = localStorage.getItem('tovraClientId'); } catch (e) {}
  if (!id) {
    const bytes = crypto.getRandomValues(new Uint8Array(16));
    id = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    try { localStorage.setItem('tovraClientId', id); } catch (e) {}
  }
  return id;
}
fetch('/api/pair', {
  method: 'POST',
  headers: { 'Content-Type': 'application/json' },
  body: JSON.stringify({ token, clientId: clientId() }),
}).then((r) => {
  status.textContent = r.ok ? 'Paired with your computer.' : 'Pairing failed (' + r.status + ').';
}, () => { status.textContent = 'Cannot reach your computer.'; });
`;

const CONTROLLER_PAGE = `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tovra controller</title>
</head><body style="font-family:sans-serif;margin:2em">
<h1>Tovra controller</h1>
<p id="status">Pairing…</p>
<script>${CONTROLLER_SCRIPT}</script>
</body></html>
`;

const CONTROLLER_CSP = "default-src 'none'; style-src 'unsafe-inline'; connect-src 'self'; " +
  `script-src 'sha256-${crypto.createHash('sha256').update(CONTROLLER_SCRIPT).digest('base64')}'`;

class HttpError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

function send(res, status, type, body, headers = {}) {
  res.writeHead(status, {
    'Content-Type': type,
    'Content-Length': Buffer.byteLength(body),
    'Cache-Control': 'no-store',
    'X-Content-Type-Options': 'nosniff',
    'Referrer-Policy': 'no-referrer',
    ...headers,
  });
  res.end(body);
}

function sendJson(res, status, value, headers) {
  send(res, status, 'application/json', JSON.stringify(value), headers);
}

// Reads at most `limit` bytes; rejects with 413 as soon as the body is larger
// (the rest is drained and dropped until the connection closes).
function readBody(req, limit) {
  return new Promise((resolve, reject) => {
    if (Number(req.headers['content-length']) > limit) {
      req.resume();
      return reject(new HttpError(413, 'request body too large'));
    }
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size <= limit) chunks.push(chunk);
      else if (size - chunk.length <= limit) reject(new HttpError(413, 'request body too large'));
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

function createApp({ dataDir, port, midiReady }) {
  let token = null;
  const pairedClients = new Set(); // insertion order = oldest first
  const getToken = () => (token ??= loadOrCreateToken(dataDir));

  const requireLocal = (handler) => (req, res) => {
    if (!isLoopback(req.socket.remoteAddress) || !isLocalHostHeader(req.headers.host)) {
      throw new HttpError(403, 'forbidden');
    }
    return handler(req, res);
  };

  async function pair(req, res) {
    let body;
    try {
      body = JSON.parse(await readBody(req, MAX_BODY_BYTES));
    } catch (err) {
      if (err instanceof SyntaxError) throw new HttpError(400, 'invalid JSON');
      throw err;
    }
    if (!body || typeof body.clientId !== 'string' || !CLIENT_ID_PATTERN.test(body.clientId)) {
      throw new HttpError(400, 'missing or invalid clientId');
    }
    if (!tokensMatch(body.token, getToken())) throw new HttpError(403, 'invalid token');
    pairedClients.delete(body.clientId);
    if (pairedClients.size >= MAX_PAIRED_CLIENTS) {
      pairedClients.delete(pairedClients.values().next().value);
    }
    pairedClients.add(body.clientId);
    log(`Phone paired (${pairedClients.size} paired)`);
    sendJson(res, 200, { paired: true, pairedClients: pairedClients.size });
  }

  const routes = new Map([
    ['/health', { GET: requireLocal((req, res) => sendJson(res, 200, {
      version: VERSION,
      // No MIDI backend here: readiness and port name are fake.
      midiReady,
      midiPort: midiReady ? FAKE_MIDI_PORT : '',
      pairedClients: pairedClients.size,
    })) }],
    ['/api/setup', { GET: requireLocal((req, res) =>
      sendJson(res, 200, { phoneURL: phoneUrl(lanHost(), port, getToken()) })) }],
    ['/setup', { GET: requireLocal((req, res) =>
      send(res, 200, 'text/html; charset=utf-8', renderSetupPage(phoneUrl(lanHost(), port, getToken())),
        { 'Content-Security-Policy': "default-src 'none'; style-src 'unsafe-inline'" })) }],
    // The page is served only with the token, so the link is the only way in.
    ['/controller', { GET: (req, res) => {
      if (!tokensMatch(queryToken(req), getToken())) throw new HttpError(403, 'invalid token');
      send(res, 200, 'text/html; charset=utf-8', CONTROLLER_PAGE, { 'Content-Security-Policy': CONTROLLER_CSP });
    } }],
    ['/api/pair', { POST: pair }],
  ]);

  return async function handle(req, res) {
    try {
      const route = routes.get((req.url || '').split('?')[0]);
      if (!route) throw new HttpError(404, 'not found');
      const handler = route[req.method];
      if (!handler) throw new HttpError(405, 'method not allowed');
      await handler(req, res);
    } catch (err) {
      if (res.headersSent) return void res.destroy();
      const status = err instanceof HttpError ? err.status : 500;
      if (status === 500) logError(`${req.method} ${req.url.split('?')[0]}: ${err.message}`);
      const headers = {};
      if (status === 405) headers.Allow = Object.keys(routes.get(req.url.split('?')[0])).join(', ');
      if (status === 413) headers.Connection = 'close';
      sendJson(res, status, { error: status === 500 ? 'internal error' : err.message }, headers);
    }
  };
}

function listen(server, port, host) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen({ port, host, ipv6Only: host === '::' }, () => {
      server.off('error', reject);
      server.on('error', (err) => logError(`server on ${host}: ${err.message}`));
      resolve();
    });
  });
}

async function main() {
  const port = Number(process.env.PORT || 4173);
  if (!Number.isInteger(port) || port < 1 || port > 65535) {
    logError(`invalid PORT "${process.env.PORT}"`);
    process.exit(1);
  }
  const dataDir = process.env.TOVRA_DATA_DIR ||
    path.join(os.homedir(), 'Library', 'Application Support', 'Tovra Automation');
  if (!path.isAbsolute(dataDir)) {
    logError(`TOVRA_DATA_DIR must be an absolute path, got "${dataDir}"`);
    process.exit(1);
  }
  const handler = createApp({ dataDir, port, midiReady: process.env.TOVRA_FAKE_MIDI !== '0' });

  const servers = [];
  // IPv4 and IPv6 on separate sockets; a machine without IPv6 gets IPv4 only.
  for (const host of ['0.0.0.0', '::']) {
    // Short timeouts, checked every second, so slow clients cannot pin a socket.
    const server = http.createServer({
      headersTimeout: 5000, requestTimeout: 5000, connectionsCheckingInterval: 1000,
    }, handler);
    server.keepAliveTimeout = 5000;
    try {
      await listen(server, port, host);
      servers.push(server);
    } catch (err) {
      if (host === '::' && (err.code === 'EADDRNOTAVAIL' || err.code === 'EAFNOSUPPORT')) continue;
      logError(err.code === 'EADDRINUSE'
        ? `port ${port} on ${host} is already in use (is another bridge running?)`
        : `cannot listen on ${host}:${port}: ${err.message}`);
      process.exit(1);
    }
  }
  log(`Tovra bridge ${VERSION} listening on http://localhost:${port}`);

  let stopping = false;
  const shutdown = (signal) => {
    if (stopping) return;
    stopping = true;
    log(`Received ${signal}, shutting down`);
    setTimeout(() => process.exit(0), 1000).unref();
    let open = servers.length;
    for (const server of servers) {
      server.close(() => { if (--open === 0) process.exit(0); });
      server.closeAllConnections();
    }
  };
  process.on('SIGTERM', () => shutdown('SIGTERM'));
  process.on('SIGINT', () => shutdown('SIGINT'));
}

module.exports = { isLoopback, isLocalHostHeader, escapeHtml, tokensMatch, renderSetupPage, phoneUrl };

if (require.main === module) main();
