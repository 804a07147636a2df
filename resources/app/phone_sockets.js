'use strict';
// The phones' live connection: a WebSocket at /socket, the protocol done by the `ws` library. A
// socket is taken only from a page of the bridge's own origin that presents a paired phone's
// secret (as the subprotocol "secret.<secret>" beside "tovra"); anything else is refused before the
// handshake and counted. Each frame goes through readPhoneMessage and becomes one MIDI message, or
// is dropped and counted; the counts are in /api/phones, and the log sums them up at most once a
// minute. A phone that goes away leaves no note sounding: its held notes are released.
const http = require('node:http');
const { WebSocketServer } = require('ws');
const { readPhoneMessage } = require('./phone_message');

const SOCKET_PATH = '/socket';
const PROTOCOL = 'tovra';
const SECRET_PREFIX = 'secret.';
// Close code of a socket whose phone was forgotten: its page says it is no longer paired.
const CLOSE_FORGOTTEN = 4001;
const FORGOTTEN_GRACE_MS = 1000;
// One ping for every socket on one timer, often enough for Wi-Fi routers that drop idle
// connections after 30 s or more; a socket that did not answer the last one is ended.
const PING_INTERVAL_MS = 25_000;
// Per phone, whatever number of sockets it opens: a second's worth of the fastest playing, and a
// burst as large. More is dropped, but for the release of a note the phone holds.
const MESSAGES_PER_SECOND = 1000;
const BURST = 1000;
// A phone that reconnects may leave sockets behind until their pings go unanswered; past this
// many, a new one ends its oldest.
const SOCKETS_PER_PHONE = 4;
// Frames over this end the socket (ws closes it with 1009); those up to it but over 64 bytes are
// dropped one by one.
const MAX_FRAME_BYTES = 4096;
// What the server lets a phone leave unread before it stops answering its pings.
const MAX_UNREAD_BYTES = 64 * 1024;
const REPORT_INTERVAL_MS = 60_000;

const REFUSALS = ['path', 'origin', 'noSecret', 'unknownSecret'];
const DROPS = ['binary', 'tooLarge', 'notJson', 'notAnObject', 'kind', 'range', 'rate', 'noOutput', 'outputFull', 'protocol', 'forgotten'];
const zeroes = (names) => Object.fromEntries(names.map((name) => [name, 0]));

// The secret among the offered subprotocols, when "tovra" is offered too.
function offeredSecret(header) {
  const offered = String(header ?? '').split(',').map((p) => p.trim());
  if (!offered.includes(PROTOCOL)) return null;
  const secret = offered.find((p) => p.startsWith(SECRET_PREFIX));
  return secret === undefined ? null : secret.slice(SECRET_PREFIX.length);
}

const noteKey = (message) => ((message.channel - 1) << 7) | message.note;

class PhoneSockets {
  // `isOwnOrigin(origin, host)`: whether a request's Origin is the bridge's as its Host names it;
  // `clock()`: milliseconds, for the rate limit.
  constructor({ pairing, midi, log, isOwnOrigin, clock = () => performance.now() }) {
    Object.assign(this, { pairing, midi, log, isOwnOrigin, clock });
    this.wss = new WebSocketServer({ noServer: true, clientTracking: false, perMessageDeflate: false,
      maxPayload: MAX_FRAME_BYTES, handleProtocols: () => PROTOCOL });
    this.connections = new Set();
    this.buckets = new Map(); // by phone id, until it is forgotten: { tokens, last }
    this.counts = { accepted: 0, sent: 0, refused: zeroes(REFUSALS), dropped: zeroes(DROPS) };
    this.reported = { refused: 0, dropped: 0 };
    this.pingTimer = null;
    this.reportTimer = null;
    this.lastReport = -Infinity;
    pairing.on('forgotten', (ids) => this.closePhones(new Set(ids)));
  }

  // The server's 'upgrade' event.
  handleUpgrade(req, socket, head) {
    socket.on('error', () => {}); // a peer gone mid-handshake is no failure of ours
    const refuse = (status, reason) => {
      this.count('refused', reason);
      socket.end(`HTTP/1.1 ${status} ${http.STATUS_CODES[status]}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
      socket.once('finish', () => socket.destroy());
    };
    if ((req.url ?? '').split('?')[0] !== SOCKET_PATH) return refuse(404, 'path');
    if (!this.isOwnOrigin(req.headers.origin, req.headers.host)) return refuse(403, 'origin');
    const secret = offeredSecret(req.headers['sec-websocket-protocol']);
    if (secret === null) return refuse(401, 'noSecret');
    const phone = this.pairing.phoneFor(secret);
    if (!phone) return refuse(403, 'unknownSecret');
    this.wss.handleUpgrade(req, socket, head, (ws) => this.accept(ws, phone.id));
  }

  accept(ws, phoneId) {
    const own = [...this.connections].filter((c) => c.phoneId === phoneId && !c.closing);
    for (const old of own.slice(0, Math.max(0, own.length - SOCKETS_PER_PHONE + 1))) {
      old.closing = true;
      old.ws.terminate();
    }
    if (!this.buckets.has(phoneId)) this.buckets.set(phoneId, { tokens: BURST, last: this.clock() });
    const connection = { ws, phoneId, held: new Set(), alive: true, closing: false };
    this.connections.add(connection);
    this.counts.accepted++;
    ws.on('message', (data, isBinary) => this.receive(connection, data, isBinary));
    ws.on('pong', () => { connection.alive = true; });
    // A frame over the limit, or one that breaks the protocol (text that is not UTF-8, say): ws
    // closes the socket and says why here.
    ws.on('error', (err) => this.count('dropped', err.code === 'WS_ERR_UNSUPPORTED_MESSAGE_LENGTH' ? 'tooLarge' : 'protocol'));
    ws.on('close', () => {
      this.connections.delete(connection);
      this.release(connection);
      this.keepPinging();
    });
    this.keepPinging();
  }

  receive(connection, data, isBinary) {
    connection.alive = true;
    if (connection.closing) return this.count('dropped', 'forgotten');
    const read = readPhoneMessage(data, isBinary);
    if (read.reason) return this.count('dropped', read.reason);
    if (read.ping) {
      // Answered whatever the rate (a phone asks after a burst whether all of it arrived), unless
      // the phone leaves its answers unread.
      if (connection.ws.bufferedAmount > MAX_UNREAD_BYTES) return this.count('dropped', 'rate');
      return connection.ws.send('{"kind":"pong"}');
    }
    const { message, bytes } = read.midi;
    const releasing = (message.kind === 'noteOff' || (message.kind === 'noteOn' && message.velocity === 0)) &&
      connection.held.has(noteKey(message));
    if (!releasing && !this.take(connection)) return this.count('dropped', 'rate');
    if (!this.midi.ready) return this.count('dropped', 'noOutput');
    if (!this.midi.sendChecked(bytes)) return this.count('dropped', 'outputFull');
    this.counts.sent++;
    if (message.kind === 'noteOn' && message.velocity > 0) connection.held.add(noteKey(message));
    else if (message.kind === 'noteOn' || message.kind === 'noteOff') connection.held.delete(noteKey(message));
  }

  // The rate limit: a bucket of BURST messages for each phone, filled at MESSAGES_PER_SECOND.
  take(connection) {
    const bucket = this.buckets.get(connection.phoneId);
    const now = this.clock();
    bucket.tokens = Math.min(BURST, bucket.tokens + ((now - bucket.last) * MESSAGES_PER_SECOND) / 1000);
    bucket.last = now;
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
  }

  // Note offs for what a closed socket left sounding.
  release(connection) {
    if (connection.held.size === 0 || !this.midi.ready) return;
    this.midi.send([...connection.held].map((key) => ({ kind: 'noteOff', channel: (key >> 7) + 1, note: key & 127, velocity: 0 })));
    connection.held.clear();
  }

  // The ping timer runs only while a phone is connected.
  keepPinging() {
    if (this.connections.size > 0 && !this.pingTimer) {
      this.pingTimer = setInterval(() => this.ping(), PING_INTERVAL_MS);
    } else if (this.connections.size === 0 && this.pingTimer) {
      clearInterval(this.pingTimer);
      this.pingTimer = null;
    }
  }

  ping() {
    for (const connection of this.connections) {
      if (!connection.alive) {
        connection.ws.terminate();
        continue;
      }
      connection.alive = false;
      connection.ws.ping();
    }
  }

  // The sockets of forgotten phones close at once; one that does not finish its closing handshake
  // within a second is cut.
  closePhones(ids) {
    for (const id of ids) this.buckets.delete(id);
    for (const connection of this.connections) {
      if (!ids.has(connection.phoneId)) continue;
      connection.closing = true;
      connection.ws.close(CLOSE_FORGOTTEN, 'not paired');
      setTimeout(() => connection.ws.terminate(), FORGOTTEN_GRACE_MS).unref();
    }
  }

  // How many sockets each phone has open now, by its id.
  connectedById() {
    const byId = {};
    for (const { phoneId, closing } of this.connections) if (!closing) byId[phoneId] = (byId[phoneId] ?? 0) + 1;
    return byId;
  }

  count(kind, reason) {
    this.counts[kind][reason]++;
    if (this.reportTimer) return;
    const wait = Math.max(0, this.lastReport + REPORT_INTERVAL_MS - Date.now());
    this.reportTimer = setTimeout(() => this.report(), wait);
    this.reportTimer.unref();
  }

  report() {
    this.reportTimer = null;
    this.lastReport = Date.now();
    const parts = [];
    for (const kind of ['refused', 'dropped']) {
      const counts = Object.entries(this.counts[kind]).filter(([, n]) => n > 0);
      const total = counts.reduce((sum, [, n]) => sum + n, 0);
      if (total === this.reported[kind]) continue;
      parts.push(`${total - this.reported[kind]} ${kind === 'refused' ? 'sockets refused' : 'messages dropped'} ` +
        `(${total} in all: ${counts.map(([reason, n]) => `${reason} ${n}`).join(', ')})`);
      this.reported[kind] = total;
    }
    if (parts.length) this.log(`Phones: ${parts.join('; ')}`);
  }

  close() {
    clearInterval(this.pingTimer);
    clearTimeout(this.reportTimer);
    this.pingTimer = this.reportTimer = null;
    // Released now, while the output is still open: the sockets' close events come later.
    for (const connection of this.connections) {
      this.release(connection);
      connection.ws.terminate();
    }
  }
}

module.exports = { PhoneSockets, SOCKET_PATH, PROTOCOL, SECRET_PREFIX, CLOSE_FORGOTTEN, MESSAGES_PER_SECOND, BURST, SOCKETS_PER_PHONE };
