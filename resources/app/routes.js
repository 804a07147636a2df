'use strict';
// The HTTP routes and their guards. The server listens on every address, because the phone comes
// over the network, but only the controller, pairing and the phones' socket (phone_sockets.js)
// answer there, and only to holders of the pairing token or of a paired phone's secret. Everything
// else answers loopback peers that name a loopback Host; what changes something (sending MIDI,
// forgetting phones) also needs the bridge's own Origin when a browser sends one.
const net = require('node:net');
const os = require('node:os');
const { healthBody } = require('./health');
const { logError } = require('./log');
const pages = require('./pages');
const { phoneUrl, lanHost } = require('./pairing');
const { MAX_PHONES, phoneName } = require('./pairing_store');

const MAX_BODY_BYTES = 4096;
// A paired phone's secret, also kept as a cookie so that the phone can open the controller again
// (a reload, a bookmark) without the link's token, which the page removes from its address.
const PHONE_COOKIE = 'tovra_phone';
const COOKIE_PATTERN = new RegExp(`(?:^|;)\\s*${PHONE_COOKIE}=([A-Za-z0-9_-]{43})\\s*(?:;|$)`);
const TEN_YEARS_S = 10 * 365 * 24 * 3600;
const MAX_MIDI_BODY_BYTES = 65536;
const MAX_MIDI_MESSAGES = 1024;

// True for 127.0.0.0/8, ::1 and IPv4-mapped 127.x addresses.
function isLoopback(address) {
  if (typeof address !== 'string') return false;
  let addr = address.toLowerCase();
  if (addr.startsWith('::ffff:')) addr = addr.slice(7);
  if (net.isIPv4(addr)) return addr.startsWith('127.');
  return addr === '::1' || addr === '0:0:0:0:0:0:0:1';
}

// Host header check against DNS rebinding: a web page whose name resolves to 127.0.0.1 would pass
// the address check but still carries its own Host. Accepted: localhost, an IPv4 loopback literal
// or [::1], each with an optional numeric port. Browsers always send Host, so a missing one is
// not a browser.
function isLocalHostHeader(host) {
  if (host === undefined) return true;
  const match = /^(\[::1\]|[^[\]:]+)(?::\d+)?$/.exec(String(host).toLowerCase());
  if (!match) return false;
  const name = match[1];
  return name === 'localhost' || name === '[::1]' || (net.isIPv4(name) && isLoopback(name));
}

// `origin` as a URL when it is exactly a plain HTTP origin on `port`, else null.
function httpOriginOn(origin, port) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return null;
  }
  return url.origin === origin && url.protocol === 'http:' && url.port === String(port) ? url : null;
}

// The bridge's own origin: plain HTTP to a loopback name on its port, nothing more. A page of
// any other site (or an opaque "null" origin) is not let in, even from this computer.
function isOwnOrigin(origin, port) {
  const url = httpOriginOn(origin, port);
  return url !== null && isLocalHostHeader(url.host);
}

// Whether `name` (a URL's hostname) is one of this computer's own addresses.
function isOwnAddress(name) {
  const address = name.replace(/^\[(.*)\]$/, '$1').toLowerCase();
  if (!net.isIP(address)) return false;
  return Object.values(os.networkInterfaces()).some((addrs) => (addrs || []).some((a) => a.address.toLowerCase() === address));
}

// The bridge's own origin as a client reached it: plain HTTP to the Host it names, on the port,
// where that Host is this computer by a loopback name or one of its own addresses. A page served
// under another name (DNS rebinding) has that name in its Host and Origin, and is refused.
function isReachedOrigin(origin, host, port) {
  if (typeof origin !== 'string' || typeof host !== 'string') return false;
  const url = httpOriginOn(origin, port);
  return url !== null && url.host === host.toLowerCase() && (isLocalHostHeader(url.host) || isOwnAddress(url.hostname));
}

function phoneCookie(req) {
  return COOKIE_PATTERN.exec(req.headers.cookie ?? '')?.[1] ?? null;
}

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

// Reads at most `limit` bytes; rejects with 413 as soon as the body is larger (the rest is
// drained and dropped until the connection closes).
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

async function readJson(req, limit) {
  try {
    return JSON.parse(await readBody(req, limit));
  } catch (err) {
    if (err instanceof SyntaxError) throw new HttpError(400, 'invalid JSON');
    throw err;
  }
}

// `midi`: the MIDI output (ready, port, outputs, send); `pairing`: the token and the phones;
// `phones`: the phones' sockets (who is connected, what was refused or dropped).
function createApp({ port, version, midi, pairing, phones }) {
  const requireLocal = (handler) => (req, res) => {
    if (!isLoopback(req.socket.remoteAddress) || !isLocalHostHeader(req.headers.host)) {
      throw new HttpError(403, 'forbidden');
    }
    return handler(req, res);
  };
  const requireJson = (req) => {
    if (!/^application\/json\s*(;|$)/i.test(req.headers['content-type'] ?? '')) {
      throw new HttpError(415, 'the body must be application/json');
    }
  };
  // A change from this computer: its own pages, or a program that sends no Origin.
  const requireLocalChange = (handler) => requireLocal((req, res) => {
    if (req.headers.origin !== undefined && !isOwnOrigin(req.headers.origin, port)) throw new HttpError(403, 'forbidden');
    requireJson(req);
    return handler(req, res);
  });
  const link = () => phoneUrl(lanHost(), port, pairing.token);
  const phoneList = () => {
    const connected = phones.connectedById();
    return pairing.phones().map((phone) => ({ ...phone, connected: connected[phone.id] ?? 0 }));
  };

  // The controller, to the link's holder or a paired phone; to anyone else, why not.
  function controller(req, res) {
    const start = req.url.indexOf('?');
    const token = start < 0 ? null : new URLSearchParams(req.url.slice(start + 1)).get('token');
    const allowed = token !== null ? pairing.acceptsToken(token) : pairing.phoneForPageKey(phoneCookie(req)) !== null;
    if (allowed) send(res, 200, 'text/html; charset=utf-8', pages.CONTROLLER_PAGE, { 'Content-Security-Policy': pages.CONTROLLER_CSP });
    else send(res, 403, 'text/html; charset=utf-8', pages.NOT_PAIRED_PAGE, { 'Content-Security-Policy': pages.NOT_PAIRED_CSP });
  }

  // { token, secret? } from the controller: the phone's secret (the one it presented, when still
  // paired, or a new one), and its page key as a cookie, for a reload of the page.
  async function pair(req, res) {
    if (req.headers.origin !== undefined && !isReachedOrigin(req.headers.origin, req.headers.host, port)) {
      throw new HttpError(403, 'forbidden');
    }
    requireJson(req);
    const body = await readJson(req, MAX_BODY_BYTES);
    if (typeof body?.token !== 'string') throw new HttpError(400, 'missing token');
    const answer = pairing.pair({ token: body.token, secret: body.secret, name: phoneName(req.headers['user-agent']) });
    if (answer.refused === 'token') throw new HttpError(403, 'this link is not valid (any more)');
    if (answer.refused === 'full') throw new HttpError(409, `${MAX_PHONES} phones are paired already; forget one first`);
    sendJson(res, 200, { secret: answer.secret, phone: { id: answer.phone.id, name: answer.phone.name }, again: answer.again }, {
      'Set-Cookie': `${PHONE_COOKIE}=${pairing.pageKeyOf(answer.phone)}; Max-Age=${TEN_YEARS_S}; Path=/; HttpOnly; SameSite=Strict`,
    });
  }

  // { messages: [...] }: every message checked, then all sent in order, or none.
  async function sendMidi(req, res) {
    const body = await readJson(req, MAX_MIDI_BODY_BYTES);
    const messages = body?.messages;
    if (!Array.isArray(messages) || messages.length < 1 || messages.length > MAX_MIDI_MESSAGES) {
      throw new HttpError(400, `"messages" is a list of 1 to ${MAX_MIDI_MESSAGES} messages`);
    }
    if (!midi.ready) throw new HttpError(503, 'no MIDI output is open');
    const result = midi.send(messages);
    if (result.reason !== undefined) throw new HttpError(400, `message ${result.index + 1}: ${result.reason}`);
    sendJson(res, 200, { sent: result.sent, dropped: result.dropped });
  }

  async function forget(req, res) {
    const body = await readJson(req, MAX_BODY_BYTES);
    if (!pairing.forget(body?.id)) throw new HttpError(404, 'no phone is paired with that id');
    sendJson(res, 200, { pairedClients: pairing.count });
  }

  async function forgetAll(req, res) {
    await readJson(req, MAX_BODY_BYTES);
    pairing.forgetAll();
    sendJson(res, 200, { phoneURL: link() });
  }

  const routes = new Map([
    ['/health', { GET: requireLocal((req, res) =>
      sendJson(res, 200, healthBody({ version, midi, pairedClients: pairing.count }))) }],
    ['/api/setup', { GET: requireLocal((req, res) => sendJson(res, 200, { phoneURL: link() })) }],
    ['/setup', { GET: requireLocal((req, res) => {
      const phoneLink = link();
      send(res, 200, 'text/html; charset=utf-8', pages.renderSetupPage({ link: phoneLink, reachable: new URL(phoneLink).hostname !== '127.0.0.1',
        phones: phoneList(), outputs: midi.outputs, saveProblem: pairing.saveProblem }), { 'Content-Security-Policy': pages.SETUP_CSP });
    }) }],
    ['/api/midi', { POST: requireLocalChange(sendMidi) }],
    ['/api/phones', { GET: requireLocal((req, res) =>
      sendJson(res, 200, { pairedClients: pairing.count, phones: phoneList(), sockets: phones.counts })) }],
    ['/api/phones/forget', { POST: requireLocalChange(forget) }],
    ['/api/phones/forget-all', { POST: requireLocalChange(forgetAll) }],
    // The page is served only with the token or a paired phone's secret.
    ['/controller', { GET: controller, HEAD: controller }],
    ['/api/pair', { POST: pair }],
  ]);

  return async function handle(req, res) {
    const pathname = (req.url || '').split('?')[0];
    try {
      const route = routes.get(pathname);
      if (!route) throw new HttpError(404, 'not found');
      const handler = route[req.method];
      if (!handler) throw new HttpError(405, 'method not allowed');
      await handler(req, res);
    } catch (err) {
      if (res.headersSent) return void res.destroy();
      const status = err instanceof HttpError ? err.status : 500;
      if (status === 500) logError(`${req.method} ${pathname}: ${err.message}`);
      const headers = {};
      if (status === 405) headers.Allow = Object.keys(routes.get(pathname)).join(', ');
      if (status === 413) headers.Connection = 'close';
      sendJson(res, status, { error: status === 500 ? 'internal error' : err.message }, headers);
    }
  };
}

module.exports = { createApp, isLoopback, isLocalHostHeader, isOwnOrigin, isReachedOrigin, PHONE_COOKIE };
