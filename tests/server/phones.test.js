'use strict';
// Phones and the built server: pairing that lasts, pairing files that cannot be used, forgetting,
// and the phones' socket against everything a phone (or anyone on the network) might send. The
// server runs with a recording stand-in for the MIDI module, so a test sees each message it sends.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { startServer, freePort, request, jsonOf, tempDir, APP_DIR } = require('./start');
const support = require('../support/phone');
const { waitFor } = require('../support/jack');

// Phones reach the link's host over loopback: the link names this computer's network address
// where it has one, and no test sends anything onto a network.
class Phone extends support.Phone {
  constructor(link, options) { super(link, { via: '127.0.0.1', ...options }); }
}
const fetchText = (url, options) => support.fetchText(url, { via: '127.0.0.1', ...options });
const isRoot = process.getuid() === 0;

// A copy of the built server whose build.json names the stand-in, in a temporary folder of its
// own; `midi()` is what it was sent. `done()` ends it and removes the folder.
function server() {
  const tmp = tempDir();
  const appDir = path.join(tmp, 'app');
  fs.cpSync(APP_DIR, appDir, { recursive: true });
  const build = JSON.parse(fs.readFileSync(path.join(appDir, 'build.json'), 'utf8'));
  fs.writeFileSync(path.join(appDir, 'build.json'), JSON.stringify({ ...build, midiModule: path.resolve(__dirname, '../support/recording_midi.js') }));
  const midiFile = path.join(tmp, 'midi.txt');
  fs.writeFileSync(midiFile, '');
  const s = { dataDir: path.join(tmp, 'data'), child: null, port: null };
  s.file = path.join(s.dataDir, 'pairing.json');
  s.start = async () => {
    s.port ??= await freePort();
    s.child = await startServer(s.port, s.dataDir, { TOVRA_TEST_MIDI_FILE: midiFile }, appDir).ready;
    return s;
  };
  s.stop = async () => {
    s.child.kill('SIGTERM');
    assert.deepEqual(await s.child.exited, { code: 0, signal: null });
  };
  s.done = () => { s.child?.kill('SIGKILL'); fs.rmSync(tmp, { recursive: true, force: true }); };
  s.midi = () => fs.readFileSync(midiFile, 'utf8').split('\n').filter(Boolean);
  s.link = async () => (await jsonOf(s.port, '/api/setup')).phoneURL;
  s.paired = async () => (await jsonOf(s.port, '/health')).pairedClients;
  s.phones = () => jsonOf(s.port, '/api/phones');
  s.post = (urlPath, body, headers = {}) => request(s.port, urlPath, {
    method: 'POST', headers: { 'Content-Type': 'application/json', ...headers }, body: JSON.stringify(body),
  });
  return s;
}

// Runs `body` on a server of its own, ended and removed whatever happens.
const withServer = (body) => async () => {
  const s = server();
  try { await body(s); } finally { s.done(); }
};

describe('pairing', () => {
  test('lasts across a restart; the same phone twice counts once; the 65th is told so and nothing is forgotten', withServer(async (s) => {
    await s.start();
    const link = await s.link();
    const pixel = new Phone(link);
    const first = await pixel.pair();
    assert.equal(first.status, 200);
    assert.match(first.body.secret, /^[A-Za-z0-9_-]{43}$/);
    assert.deepEqual([first.body.again, first.body.phone.name], [false, 'Pixel 8 \u00B7 Chrome']);
    assert.match(first.cookie, /^tovra_phone=[A-Za-z0-9_-]{43}; Max-Age=\d+; Path=\/; HttpOnly; SameSite=Strict$/);
    assert.ok(!first.cookie.includes(first.body.secret), 'the secret is never a cookie, which other servers of the host are sent');
    const again = await pixel.pair();
    assert.deepEqual([again.status, again.body.again, again.body.secret], [200, true, first.body.secret]);
    const iphone = new Phone(link, { userAgent: 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) Version/17.5 Mobile Safari/604.1' });
    assert.equal((await iphone.pair()).status, 200);
    assert.equal(await s.paired(), 2);
    // The file holds hashes, never a secret.
    assert.equal(fs.statSync(s.file).mode & 0o777, 0o600);
    for (const secret of [pixel.secret, iphone.secret]) assert.ok(!fs.readFileSync(s.file, 'utf8').includes(secret));

    await s.stop();
    await s.start();
    assert.equal(await s.link(), link, 'the same link');
    assert.deepEqual((await s.phones()).phones.map((p) => p.name), ['Pixel 8 \u00B7 Chrome', 'iPhone \u00B7 Safari']);
    assert.equal((await pixel.connect()).protocol, 'tovra');

    for (let n = 2; n < 64; n++) assert.equal((await new Phone(link).pair()).status, 200, `phone ${n + 1}`);
    const last = await new Phone(link).pair();
    assert.deepEqual([last.status, last.body.error], [409, '64 phones are paired already; forget one first']);
    assert.equal(await s.paired(), 64);
    assert.equal((await pixel.pair()).body.again, true, 'a phone among the 64 is still let in');
    assert.equal((await iphone.connect()).protocol, 'tovra');
  }));

  test('the page: the token or a paired phone\'s cookie opens it; pairing wants the link\'s own origin', withServer(async (s) => {
    await s.start();
    const link = new URL(await s.link());
    const phone = new Phone(link.href);
    const cookie = (await phone.pair()).cookie.split(';')[0];
    const page = (urlPath, headers = {}, method = 'GET') => fetchText(new URL(urlPath, link), { headers, method });
    for (const [name, urlPath, headers, status] of [
      ['the link', link.pathname + link.search, {}, 200],
      ['a paired phone\'s cookie', '/controller', { Cookie: `a=b; ${cookie}` }, 200],
      ['nothing', '/controller', {}, 403],
      ['a wrong token', `/controller?token=${'A'.repeat(43)}`, {}, 403],
      ['an empty token, with a good cookie', '/controller?token=', { Cookie: cookie }, 403],
      ['a cookie of no phone', '/controller', { Cookie: `tovra_phone=${'A'.repeat(43)}` }, 403],
    ]) {
      const answer = await page(urlPath, headers);
      assert.equal(answer.status, status, name);
      assert.match(answer.body, status === 200 ? /<title>Tovra controller<\/title>/ : /Not paired \u2014 open the link from your computer again/, name);
      assert.match(answer.headers['content-security-policy'], /^default-src 'none'; style-src 'sha256-[^']+'/, name);
      assert.doesNotMatch(answer.headers['content-security-policy'], /unsafe|\*/, name);
    }
    assert.equal((await page('/controller', { Cookie: cookie }, 'HEAD')).status, 200);
    assert.match((await page(link.pathname + link.search)).body, /"control":74,"name":"Cutoff"/, 'the controls\' table');
    for (const [name, headers, status] of [
      ['another site', { Origin: 'http://evil.example' }, 403],
      ['this computer under another name', { Origin: `http://evil.example:${s.port}`, Host: `evil.example:${s.port}` }, 403],
      ['another port', { Origin: `http://127.0.0.1:${s.port + 1}` }, 403],
      ['no JSON', { 'Content-Type': 'text/plain' }, 415],
    ]) {
      assert.equal((await new Phone(link.href).pair({ headers })).status, status, name);
    }
    assert.equal(await s.paired(), 1);
  }));
});

describe('a pairing file that cannot be used', () => {
  const token = 'k'.repeat(43);
  const cases = [
    ['cut short', (file) => fs.writeFileSync(file, '{"token":"kkkk'), 'it is not JSON'],
    ['empty', (file) => fs.writeFileSync(file, ''), 'it is empty'],
    ['a FIFO, which would block a reader', (file) => assert.equal(spawnSync('mkfifo', [file]).status, 0), 'it is not a plain file'],
    ['another user\'s', (file) => { fs.writeFileSync(file, `{"token":"${token}"}`); fs.chownSync(file, 12345, 12345); },
      'it belongs to another user (uid 12345)', !isRoot && 'only root can give a file to another user'],
    ['unreadable', (file) => { fs.writeFileSync(file, `{"token":"${token}"}`); fs.chmodSync(file, 0); },
      'it cannot be read (permission denied)', isRoot && 'root reads it all the same'],
  ];
  for (const [name, make, problem, skip] of cases) {
    // A time limit, as a reader that blocks (on a FIFO, say) would keep the server from ever listening.
    test(`${name}: no phones paired, one line of log, the file kept aside once a new link is made`, { skip, timeout: 20000 }, withServer(async (s) => {
      fs.mkdirSync(s.dataDir, { mode: 0o700 });
      make(s.file);
      const before = fs.lstatSync(s.file);
      await s.start();
      assert.equal(await s.paired(), 0);
      assert.deepEqual(s.child.output.split('\n').filter((line) => /pairing/i.test(line)).map((line) => line.replace(/^\S+ /, '')),
        [`Pairing file ${s.file} cannot be used: ${problem}. No phones are paired; the file is kept beside the new one once a new link is made`]);
      assert.equal(fs.lstatSync(s.file).ino, before.ino, 'nothing is written before a link is needed');
      const link = new URL(await s.link());
      assert.equal((await new Phone(link.href).pair()).status, 200);
      const kept = fs.readdirSync(s.dataDir).filter((f) => f.startsWith('pairing.json.broken-'));
      assert.equal(kept.length, 1, fs.readdirSync(s.dataDir).join(', '));
      assert.match(kept[0], /^pairing\.json\.broken-\d{8}T\d{6}Z$/);
      assert.equal(fs.lstatSync(path.join(s.dataDir, kept[0])).ino, before.ino, 'the very file is kept');
      assert.equal(fs.statSync(s.file).mode & 0o777, 0o600);
      assert.notEqual(link.searchParams.get('token'), token);
      await s.stop();
      await s.start();
      assert.equal(await s.paired(), 1, 'the new file is read back');
      assert.doesNotMatch(s.child.output, /Pairing file/);
    }));
  }

  test('an earlier version\'s file keeps its token and is left as it was until something changes', withServer(async (s) => {
    fs.mkdirSync(s.dataDir, { mode: 0o700 });
    fs.writeFileSync(s.file, `{"token":"${token}"}\n`, { mode: 0o600 });
    await s.start();
    assert.equal(new URL(await s.link()).searchParams.get('token'), token);
    assert.equal(fs.readFileSync(s.file, 'utf8'), `{"token":"${token}"}\n`);
    assert.doesNotMatch(s.child.output, /Pairing file/);
  }));

  test('a data folder that cannot be written: the phone pairs for this run, and the log and the setup page say so', withServer(async (s) => {
    await s.start();
    const link = await s.link();
    fs.rmSync(s.dataDir, { recursive: true });
    fs.writeFileSync(s.dataDir, 'a file where the folder was');
    const phone = new Phone(link);
    assert.equal((await phone.pair()).status, 200);
    assert.equal(await s.paired(), 1);
    assert.equal((await phone.connect()).protocol, 'tovra');
    assert.match(s.child.output, /Pairing not saved: .*pairing\.json cannot be written \(E[A-Z]+\); it lasts until the bridge stops/);
    assert.match((await request(s.port, '/setup')).body, /Pairing not saved:/);
  }));
});

describe('forgetting', () => {
  let s;
  before(async () => { s = await server().start(); });
  after(() => s.done());

  test('one phone: its socket closes within a second as not paired, its secret is refused; the others play on', async () => {
    const link = await s.link();
    const [gone, kept] = [new Phone(link), new Phone(link)];
    const goneCookie = (await gone.pair()).cookie.split(';')[0];
    await kept.pair();
    const [goneSocket, keptSocket] = [await gone.connect(), await kept.connect()];
    const id = (await s.phones()).phones[0].id;
    assert.deepEqual((await s.phones()).phones.map((p) => p.connected), [1, 1]);
    assert.equal((await s.post('/api/phones/forget', { id }, { Origin: 'http://evil.example' })).status, 403, 'another site');
    assert.equal((await s.post('/api/phones/forget', { id: 'x'.repeat(22) })).status, 404, 'no such phone');
    assert.equal(await s.paired(), 2);
    const asked = Date.now();
    const answer = await s.post('/api/phones/forget', { id }, { Origin: `http://localhost:${s.port}` });
    assert.deepEqual([answer.status, JSON.parse(answer.body)], [200, { pairedClients: 1 }]);
    assert.deepEqual(await goneSocket.closed, { code: 4001, reason: 'not paired' });
    assert.ok(Date.now() - asked < 1000, `closed ${Date.now() - asked} ms after the request`);
    assert.deepEqual(await gone.connect(), { status: 403 });
    assert.equal((await fetchText(new URL('/controller', link), { method: 'HEAD', headers: { Cookie: goneCookie } })).status, 403);
    kept.play({ kind: 'controlChange', channel: 3, control: 7, value: 99 });
    await waitFor('the kept phone\'s message', () => s.midi().includes('b2 07 63'));
    assert.equal(keptSocket.readyState, keptSocket.OPEN);
  });

  test('all phones: a new link, the old one refused, every socket closed', async () => {
    const old = await s.link();
    const phone = new Phone(old);
    await phone.pair();
    const sockets = [...(await Promise.all([phone.connect(), phone.connect()])), phone.socket];
    const answer = await s.post('/api/phones/forget-all', {});
    assert.equal(answer.status, 200);
    const fresh = JSON.parse(answer.body).phoneURL;
    assert.equal(fresh, await s.link());
    assert.notEqual(new URL(fresh).searchParams.get('token'), new URL(old).searchParams.get('token'));
    for (const socket of sockets) assert.equal((await socket.closed).code, 4001);
    assert.equal(await s.paired(), 0);
    assert.equal((await fetchText(new URL(old))).status, 403);
    assert.equal((await new Phone(old).pair()).status, 403);
    assert.equal((await new Phone(fresh).pair()).status, 200);
  });
});

describe('the socket', () => {
  let s, link, phone;
  before(async () => {
    s = await server().start();
    link = await s.link();
    phone = new Phone(link);
    await phone.pair();
  });
  after(() => s.done());
  const sockets = async () => (await s.phones()).sockets;

  test('is refused without a paired phone\'s secret or from another origin, and each refusal is counted', async () => {
    const forgotten = new Phone(link);
    await forgotten.pair();
    await s.post('/api/phones/forget', { id: (await s.phones()).phones[1].id });
    const cases = [
      ['no secret', { protocols: ['tovra'] }, 401, 'noSecret'],
      ['a secret without "tovra"', { protocols: [`secret.${phone.secret}`] }, 401, 'noSecret'],
      ['a wrong secret', { protocols: ['tovra', `secret.${'A'.repeat(43)}`] }, 403, 'unknownSecret'],
      ['a forgotten phone\'s secret', { protocols: ['tovra', `secret.${forgotten.secret}`] }, 403, 'unknownSecret'],
      ['another site', { origin: 'http://evil.example' }, 403, 'origin'],
      ['this computer under another name', { origin: `http://localhost:${s.port}` }, 403, 'origin'],
      ['no origin', { origin: '' }, 403, 'origin'],
      ['another path', { path: '/controller' }, 404, 'path'],
    ];
    const before = await sockets();
    for (const [name, options, status] of cases) assert.deepEqual(await phone.connect(options), { status }, name);
    const after = await sockets();
    const want = { ...before.refused };
    for (const [, , , reason] of cases) want[reason]++;
    assert.deepEqual(after.refused, want);
    assert.equal(after.accepted, before.accepted);
    assert.deepEqual(s.midi(), []);
  });

  // Every reason a frame is dropped for: phone_message.test.js; here, that each is counted and sends nothing.
  test('bad frames send nothing and are counted one by one; a frame of a megabyte ends the socket; the server lives', async () => {
    const ws = await phone.connect();
    const bad = [
      [Buffer.from(JSON.stringify({ kind: 'noteOn', channel: 1, note: 60, velocity: 100 })), { binary: true }, 'binary'],
      ['{"kind":"noteOn","channel":17,"note":60,"velocity":100}', {}, 'range'],
      [`${'{"a":'.repeat(600)}1${'}'.repeat(600)}`, {}, 'tooLarge'], // a JSON bomb: never parsed
    ];
    const before = (await sockets()).dropped;
    for (const [data, options] of bad) ws.send(data, options);
    ws.send(JSON.stringify({ kind: 'ping' }));
    await waitFor('the pong', () => ws.received.includes('{"kind":"pong"}'));
    const want = { ...before };
    for (const [, , reason] of bad) want[reason]++;
    assert.deepEqual((await sockets()).dropped, want);

    ws.send(`{"kind":"noteOn","a":"${'x'.repeat(1 << 20)}"}`);
    assert.equal((await ws.closed).code, 1009);
    assert.equal((await sockets()).dropped.tooLarge, want.tooLarge + 1);
    assert.deepEqual(s.midi(), []);
    assert.equal(await s.paired(), 1);
  });

  test('100,000 messages in a second: /health answers within 0.7 s throughout, what goes over the limit is dropped and counted', async () => {
    const before = await sockets();
    const lines = s.midi().length;
    // The flood from a process of its own, so that this one only asks /health.
    const flood = spawn(process.execPath, [path.join(__dirname, '../support/flood.js'), `ws://127.0.0.1:${s.port}/socket`,
      phone.link.host, phone.origin, phone.secret, '100000'], { stdio: ['ignore', 'pipe', 'inherit'] });
    let output = '';
    flood.stdout.setEncoding('utf8').on('data', (d) => { output += d; });
    const finished = new Promise((resolve) => flood.once('exit', resolve));
    const times = [];
    while (flood.exitCode === null) {
      const asked = Date.now();
      await new Promise((resolve, reject) => {
        const req = http.get({ host: '127.0.0.1', port: s.port, path: '/health', agent: false }, (res) => res.resume().on('end', resolve));
        const limit = setTimeout(() => req.destroy(new Error(`no /health answer within 700 ms (after ${times.length} answers)`)), 700);
        req.on('error', reject).on('close', () => clearTimeout(limit));
      });
      times.push(Date.now() - asked);
    }
    assert.equal(await finished, 0);
    const after = await sockets();
    const sent = after.sent - before.sent;
    const dropped = after.dropped.rate - before.dropped.rate;
    assert.equal(sent + dropped, 100_000);
    assert.ok(sent >= 1000 && dropped > 0, `${sent} sent, ${dropped} dropped`);
    assert.equal(s.midi().length - lines, sent);
    assert.ok(times.length > 1, `${times.length} health answers during the flood`);
    console.log(`# flood: ${sent} sent, ${dropped} dropped, ${output.trim()} ms; ${times.length} /health answers, slowest ${Math.max(...times)} ms`);
  });

  test('a phone that goes away leaves no note sounding', async () => {
    const ws = await phone.connect();
    const lines = s.midi().length;
    for (const [kind, note, velocity] of [['noteOn', 36, 90], ['noteOn', 37, 91], ['noteOff', 37, 0], ['noteOn', 38, 92], ['noteOn', 38, 0]]) {
      phone.play({ kind, channel: 2, note, velocity });
    }
    await waitFor('five messages', () => s.midi().length === lines + 5);
    ws.terminate(); // as a phone that loses the network
    await waitFor('the note off', () => s.midi().length === lines + 6);
    assert.deepEqual(s.midi().slice(lines), ['91 24 5a', '91 25 5b', '81 25 00', '91 26 5c', '91 26 00', '81 24 00']);
  });
});
