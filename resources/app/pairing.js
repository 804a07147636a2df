'use strict';
// The pairing kept in <TOVRA_DATA_DIR>/pairing.json: the token of the private link and the phones
// paired through it (pairing_store.js says what they are). The file is read once, at the start, and
// written whole on each change: to a temporary file of mode 0600, flushed, then renamed into place.
// A file that cannot be used (not JSON, empty, unreadable, not a plain file, another user's) means
// "no phones paired": one log line says why, and the file is kept beside the new one, renamed
// "pairing.json.broken-<time>", when a new link is made. Until then nothing is written.
const crypto = require('node:crypto');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const store = require('./pairing_store');
const { log: defaultLog } = require('./log');

const FILE_NAME = 'pairing.json';
const MAX_FILE_BYTES = 1 << 20;

class FileProblem extends Error {}

// The file's text, when it is a plain file of ours of a sane size. Opened without blocking, so a
// FIFO left in its place cannot stall the server.
function readOwnFile(file) {
  const fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  try {
    const info = fs.fstatSync(fd);
    if (!info.isFile()) throw new FileProblem('it is not a plain file');
    if (info.uid !== process.getuid()) throw new FileProblem(`it belongs to another user (uid ${info.uid})`);
    if (info.size > MAX_FILE_BYTES) throw new FileProblem('it is larger than 1 MiB');
    return fs.readFileSync(fd, 'utf8');
  } finally {
    fs.closeSync(fd);
  }
}

function writeWhole(file, text) {
  const dir = path.dirname(file);
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  const tmp = path.join(dir, `.${FILE_NAME}.${process.pid}.${crypto.randomBytes(4).toString('hex')}.tmp`);
  try {
    const fd = fs.openSync(tmp, 'wx', 0o600);
    try {
      fs.writeFileSync(fd, text);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(tmp, file);
  } catch (err) {
    fs.rmSync(tmp, { force: true });
    throw err;
  }
  // The rename itself reaches the disk with the folder's entry.
  try {
    const fd = fs.openSync(dir, 'r');
    try { fs.fsyncSync(fd); } finally { fs.closeSync(fd); }
  } catch {}
}

// A free name beside `file` for an unusable copy of it, by the time it is set aside.
function asideName(file, now) {
  const stamp = now.toISOString().replace(/[-:]|\.\d+/g, '');
  for (let n = 1; ; n++) {
    const name = `${file}.broken-${stamp}${n === 1 ? '' : `-${n}`}`;
    try {
      fs.lstatSync(name);
    } catch {
      return name;
    }
  }
}

class Pairing extends EventEmitter {
  // `random(n)`: n random bytes; `now()`: a Date; `log`: takes each line.
  constructor(dataDir, { log = defaultLog, random = crypto.randomBytes, now = () => new Date() } = {}) {
    super();
    Object.assign(this, { file: path.join(dataDir, FILE_NAME), log, random, now });
    this.store = null; // none until a token is first needed, when the file had none to give
    this.broken = false; // the file in place is unusable: set it aside before writing
    this.saveProblem = null;
  }

  load() {
    let text;
    try {
      text = readOwnFile(this.file);
    } catch (err) {
      if (err.code === 'ENOENT') return;
      this.unusable(err instanceof FileProblem ? err.message
        : `it cannot be read (${err.code === 'EACCES' ? 'permission denied' : err.code ?? err.message})`);
      return;
    }
    const parsed = store.parseStore(text);
    if (parsed.problem) this.unusable(parsed.problem);
    else this.store = parsed.store;
  }

  unusable(problem) {
    this.broken = true;
    this.log(`Pairing file ${this.file} cannot be used: ${problem}. No phones are paired; ` +
      'the file is kept beside the new one once a new link is made');
  }

  // Writes `next` and makes it the state. Should the disk refuse, the state still changes for this
  // run, and the log says so once per kind of failure.
  save(next) {
    try {
      if (this.broken) {
        try {
          fs.renameSync(this.file, asideName(this.file, this.now()));
        } catch (err) {
          if (err.code !== 'ENOENT') throw err;
        }
        this.broken = false;
      }
      writeWhole(this.file, store.serializeStore(next));
      this.saveProblem = null;
    } catch (err) {
      const problem = `${this.file} cannot be written (${err.code ?? err.message})`;
      if (this.saveProblem !== problem) this.log(`Pairing not saved: ${problem}; it lasts until the bridge stops`);
      this.saveProblem = problem;
    }
    this.store = next;
  }

  get token() {
    if (!this.store) this.save(store.newStore(this.random));
    return this.store.token;
  }

  // Whether `token` is the link's, without making one.
  acceptsToken(token) { return this.store !== null && store.tokensMatch(token, this.store.token); }

  get count() { return this.store?.phones.length ?? 0; }

  // What may be shown of each phone: never its hash.
  phones() { return (this.store?.phones ?? []).map(({ id, name, pairedAt }) => ({ id, name, pairedAt })); }

  phoneFor(secret) { return this.store ? store.findPhone(this.store, secret) : null; }

  // The phone whose page key (pageKeyOf) is `key`; the page key of a phone.
  phoneForPageKey(key) { return this.store ? store.findPhoneByPageKey(this.store, key) : null; }
  pageKeyOf(phone) { return store.pageKeyOf(phone); }

  // A phone that opened the link with `token`; see pairPhone for the answers.
  pair({ token, secret, name }) {
    if (!this.store) return { refused: 'token' }; // no link was ever given out
    const { store: next, answer } = store.pairPhone(this.store, { token, secret, name, now: this.now(), random: this.random });
    if (next !== this.store) {
      this.save(next);
      this.log(`Phone paired: ${answer.phone.name} (${this.count} paired)`);
    }
    return answer;
  }

  forget(id) {
    if (!this.store) return false;
    const { store: next, forgotten } = store.forgetPhone(this.store, id);
    if (!forgotten) return false;
    this.save(next);
    this.log(`Phone forgotten: ${forgotten.name} (${this.count} paired)`);
    this.emit('forgotten', [forgotten.id]);
    return true;
  }

  // Every phone forgotten and a new token: the old link stops working.
  forgetAll() {
    const { store: next, forgotten } = store.forgetAll(this.store ?? { phones: [] }, this.random);
    this.save(next);
    this.log(`All phones forgotten (${forgotten.length}); a new link is made`);
    this.emit('forgotten', forgotten.map((phone) => phone.id));
  }
}

// The phone reaches this machine by an IPv4 address of its own network: a private one (RFC 1918)
// of an interface that is not a container's or a virtual machine's bridge or a tunnel, before any
// other; never a link-local one. With no network there is only this computer to open the link, on
// loopback.
const VIRTUAL_INTERFACE = /^(docker|br-|virbr|veth|vmnet|vboxnet|lxc|lxd|cni|flannel|tun|tap|wg|zt|tailscale)/;
const isPrivate = (address) => /^(10\.|192\.168\.|172\.(1[6-9]|2\d|3[01])\.)/.test(address);

function lanHost(interfaces = os.networkInterfaces()) {
  const candidates = Object.entries(interfaces).flatMap(([name, addrs]) => (addrs || [])
    .filter((a) => (a.family === 'IPv4' || a.family === 4) && !a.internal && !a.address.startsWith('169.254.'))
    .map((a) => ({ address: a.address, rank: (isPrivate(a.address) ? 0 : 2) + (VIRTUAL_INTERFACE.test(name) ? 1 : 0) })));
  candidates.sort((a, b) => a.rank - b.rank);
  return candidates[0]?.address ?? '127.0.0.1';
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

module.exports = { Pairing, phoneUrl, lanHost, tokensMatch: store.tokensMatch, FILE_NAME };
