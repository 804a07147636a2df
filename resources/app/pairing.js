'use strict';
// The pairing token and the phones paired in this run. The token lives in
// <TOVRA_DATA_DIR>/pairing.json, made on first use (written whole to a temporary file, then
// renamed into place; mode 0600) and kept across runs; the phones are counted in memory.
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { log } = require('./log');

const MAX_PAIRED_CLIENTS = 64;
const TOKEN_FILE = 'pairing.json';
const TOKEN_PATTERN = /^[A-Za-z0-9_-]{43}$/; // 32 bytes, base64url
const CLIENT_ID_PATTERN = /^[A-Za-z0-9_-]{8,64}$/;

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

// The phone reaches this machine by its first non-internal IPv4 address. With no network there
// is only this computer to open the link, on loopback.
function lanHost() {
  for (const addrs of Object.values(os.networkInterfaces())) {
    for (const a of addrs || []) {
      if ((a.family === 'IPv4' || a.family === 4) && !a.internal) return a.address;
    }
  }
  return '127.0.0.1';
}

// The token goes in the query, as the server must see it to serve the page; the page removes it
// from the address bar at once, and every response says "no-referrer", so it does not travel further.
function phoneUrl(host, port, token) {
  const url = new URL('http://localhost/controller');
  url.hostname = host; // an invalid name is ignored and leaves "localhost"
  url.port = String(port);
  url.searchParams.set('token', token);
  return url.href;
}

class Pairing {
  constructor(dataDir) {
    this.dataDir = dataDir;
    this.token = null;
    this.clients = new Set(); // insertion order = oldest first
  }

  getToken() { return (this.token ??= loadOrCreateToken(this.dataDir)); }
  get count() { return this.clients.size; }
  isValidClientId(clientId) { return typeof clientId === 'string' && CLIENT_ID_PATTERN.test(clientId); }

  // Counts the client once; the oldest goes when there are too many.
  pair(clientId) {
    this.clients.delete(clientId);
    if (this.clients.size >= MAX_PAIRED_CLIENTS) this.clients.delete(this.clients.values().next().value);
    this.clients.add(clientId);
    log(`Phone paired (${this.clients.size} paired)`);
  }
}

module.exports = { Pairing, tokensMatch, phoneUrl, lanHost };
