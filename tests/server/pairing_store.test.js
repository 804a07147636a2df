'use strict';
// The pairing as data: the file's text read and written, pairing, forgetting, the phones' names.
// Tables of cases, each named by its input. (From the source tree, as the mutation run copies it.)
const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const store = require('../../resources/app/pairing_store');

const TOKEN = 'T'.repeat(43);
const sha = (text) => crypto.createHash('sha256').update(text).digest('hex');
// Random bytes that are known in advance: 1, 2, 3, ... on each call.
const counter = () => {
  let next = 0;
  return (n) => Buffer.alloc(n, ++next);
};
const phone = (i, extra = {}) => ({
  id: `id${String(i).padStart(20, '0')}`, hash: sha(`secret ${i}`), name: `Phone ${i}`, pairedAt: '2026-01-02T03:04:05Z', ...extra,
});
const text = (value) => JSON.stringify(value);
const NOW = new Date('2026-12-07T10:11:12.987Z');

test('a pairing file is taken whole, or not at all, and says why in words of its own', () => {
  const two = [phone(1), phone(2)];
  const taken = [
    ['token and phones', text({ token: TOKEN, phones: two }), { token: TOKEN, phones: two }],
    ['an earlier version\'s file: a token alone', text({ token: TOKEN }), { token: TOKEN, phones: [] }],
    ['64 phones', text({ token: TOKEN, phones: Array.from({ length: 64 }, (_, i) => phone(i)) }),
      { token: TOKEN, phones: Array.from({ length: 64 }, (_, i) => phone(i)) }],
    ['a name of 64 characters', text({ token: TOKEN, phones: [phone(1, { name: 'n'.repeat(64) })] }),
      { token: TOKEN, phones: [phone(1, { name: 'n'.repeat(64) })] }],
    ['keys of a later version are left out', text({ token: TOKEN, later: 1, phones: [phone(1, { colour: 'red' })] }),
      { token: TOKEN, phones: [phone(1)] }],
  ];
  for (const [name, input, want] of taken) assert.deepEqual(store.parseStore(input), { store: want }, name);

  const refused = [
    ['empty', '', 'it is empty'],
    ['white space', ' \n\t', 'it is empty'],
    ['cut short', text({ token: TOKEN }).slice(0, 20), 'it is not JSON'],
    ['a list', '[]', 'it is not a JSON object'],
    ['null', 'null', 'it is not a JSON object'],
    ['a string', '"x"', 'it is not a JSON object'],
    ['no token', text({ phones: [] }), 'it holds no valid token'],
    ['a short token', text({ token: 'T'.repeat(42) }), 'it holds no valid token'],
    ['a long token', text({ token: 'T'.repeat(44) }), 'it holds no valid token'],
    ['a token with another character', text({ token: `${'T'.repeat(42)}+` }), 'it holds no valid token'],
    ['phones an object', text({ token: TOKEN, phones: {} }), 'its list of phones is not valid'],
    ['65 phones', text({ token: TOKEN, phones: Array.from({ length: 65 }, (_, i) => phone(i)) }), 'its list of phones is not valid'],
    ['a phone that is null', text({ token: TOKEN, phones: [null] }), 'its list of phones is not valid'],
    ['a short id', text({ token: TOKEN, phones: [phone(1, { id: 'x'.repeat(21) })] }), 'its list of phones is not valid'],
    ['an id with a slash', text({ token: TOKEN, phones: [phone(1, { id: `${'x'.repeat(21)}/` })] }), 'its list of phones is not valid'],
    ['a hash in capitals', text({ token: TOKEN, phones: [phone(1, { hash: sha('s').toUpperCase() })] }), 'its list of phones is not valid'],
    ['a short hash', text({ token: TOKEN, phones: [phone(1, { hash: sha('s').slice(1) })] }), 'its list of phones is not valid'],
    ['a hash in a list', text({ token: TOKEN, phones: [phone(1, { hash: [sha('s')] })] }), 'its list of phones is not valid'],
    ['a hash with a character before', text({ token: TOKEN, phones: [phone(1, { hash: `0${sha('s')}` })] }), 'its list of phones is not valid'],
    ['a hash with a character after', text({ token: TOKEN, phones: [phone(1, { hash: `${sha('s')}0` })] }), 'its list of phones is not valid'],
    ['a name of 65 characters', text({ token: TOKEN, phones: [phone(1, { name: 'n'.repeat(65) })] }), 'its list of phones is not valid'],
    ['a name that is a number', text({ token: TOKEN, phones: [phone(1, { name: 5 })] }), 'its list of phones is not valid'],
    ['a time with milliseconds', text({ token: TOKEN, phones: [phone(1, { pairedAt: '2026-01-02T03:04:05.123Z' })] }),
      'its list of phones is not valid'],
    ['a time in a list', text({ token: TOKEN, phones: [phone(1, { pairedAt: ['2026-01-02T03:04:05Z'] })] }), 'its list of phones is not valid'],
    ['a time with a day before', text({ token: TOKEN, phones: [phone(1, { pairedAt: 'Mon 2026-01-02T03:04:05Z' })] }), 'its list of phones is not valid'],
    ['a time with a zone after', text({ token: TOKEN, phones: [phone(1, { pairedAt: '2026-01-02T03:04:05Z+01' })] }), 'its list of phones is not valid'],
    ['an id in a list', text({ token: TOKEN, phones: [phone(1, { id: [phone(1).id] })] }), 'its list of phones is not valid'],
    ['a token in a list', text({ token: [TOKEN] }), 'it holds no valid token'],
    ['a phone without a name', text({ token: TOKEN, phones: [(({ name, ...rest }) => rest)(phone(1))] }),
      'its list of phones is not valid'],
    ['one id twice', text({ token: TOKEN, phones: [phone(1), phone(2, { id: phone(1).id })] }), 'it lists a phone twice'],
    ['one secret twice', text({ token: TOKEN, phones: [phone(1), phone(2, { hash: phone(1).hash })] }), 'it lists a phone twice'],
  ];
  for (const [name, input, problem] of refused) assert.deepEqual(store.parseStore(input), { problem }, name);
});

test('what is written reads back as it was, and holds nothing but the token and the phones', () => {
  const state = { token: TOKEN, phones: [phone(1), phone(2, { name: 'Pixel \u00B7 "Chrome"' })] };
  const written = store.serializeStore(state);
  assert.ok(written.endsWith('}\n'));
  assert.deepEqual(store.parseStore(written), { store: state });
  assert.deepEqual(Object.keys(JSON.parse(written)), ['token', 'phones']);
  const fresh = store.newStore(counter());
  assert.deepEqual(fresh, { token: Buffer.alloc(32, 1).toString('base64url'), phones: [] });
  assert.deepEqual(store.parseStore(store.serializeStore(fresh)), { store: fresh });
});

test('pairing: the link\'s token, once per phone, at most 64, each with a secret of its own', () => {
  const random = counter();
  const empty = { token: TOKEN, phones: [] };
  for (const [name, token] of [['one character off', `${'T'.repeat(42)}U`], ['shorter', 'T'.repeat(42)], ['none', undefined]]) {
    const result = store.pairPhone(empty, { token, name: 'x', now: NOW, random });
    assert.deepEqual(result, { store: empty, answer: { refused: 'token' } }, name);
    assert.equal(result.store, empty, `${name}: the same state`);
  }

  const first = store.pairPhone(empty, { token: TOKEN, name: 'Pixel 8 \u00B7 Chrome', now: NOW, random: counter() });
  const secret = Buffer.alloc(32, 1).toString('base64url');
  const paired = { id: Buffer.alloc(16, 2).toString('base64url'), hash: sha(secret), name: 'Pixel 8 \u00B7 Chrome', pairedAt: '2026-12-07T10:11:12Z' };
  assert.deepEqual(first, { store: { token: TOKEN, phones: [paired] }, answer: { phone: paired, secret, again: false } });
  assert.deepEqual(empty.phones, [], 'the earlier state is left as it was');
  assert.deepEqual(store.parseStore(store.serializeStore(first.store)), { store: first.store }, 'what it makes is a valid file');

  // The same phone again, by the secret it kept: nothing changes, and it keeps its secret.
  const again = store.pairPhone(first.store, { token: TOKEN, secret, name: 'renamed', now: NOW, random: counter() });
  assert.equal(again.store, first.store);
  assert.deepEqual(again.answer, { phone: paired, secret, again: true });
  // A secret not (or no longer) paired, or not a secret at all, pairs a new phone.
  for (const [name, given] of [['unknown', 'S'.repeat(43)], ['malformed', secret.slice(1)], ['not a string', 12]]) {
    const other = store.pairPhone(first.store, { token: TOKEN, secret: given, name: 'n', now: NOW, random: counter() });
    assert.deepEqual([other.answer.again, other.store.phones.length], [false, 2], name);
    assert.notEqual(other.answer.secret, given, name);
  }

  const full = { token: TOKEN, phones: Array.from({ length: 64 }, (_, i) => phone(i)) };
  assert.deepEqual(store.pairPhone(full, { token: TOKEN, name: 'n', now: NOW, random: counter() }), { store: full, answer: { refused: 'full' } });
  // A phone already among the 64 is still let in.
  assert.deepEqual(store.pairPhone(full, { token: TOKEN, secret: 'secret 7', name: 'n', now: NOW, random: counter() }).answer,
    { refused: 'full' }, 'a malformed secret is no phone of the 64');
  const among = { token: TOKEN, phones: [...full.phones.slice(1), { ...phone(0), hash: sha(secret) }] };
  assert.deepEqual(store.pairPhone(among, { token: TOKEN, secret, name: 'n', now: NOW, random: counter() }).answer,
    { phone: among.phones[63], secret, again: true });
  const last = store.pairPhone({ token: TOKEN, phones: full.phones.slice(1) }, { token: TOKEN, name: 'n', now: NOW, random: counter() });
  assert.equal(last.store.phones.length, 64, 'the 64th is paired');
});

test('forgetting one phone keeps the others in order; forgetting all makes a new token', () => {
  const state = { token: TOKEN, phones: [phone(1), phone(2), phone(3)] };
  assert.deepEqual(store.forgetPhone(state, phone(2).id), { store: { token: TOKEN, phones: [phone(1), phone(3)] }, forgotten: phone(2) });
  for (const id of ['unknown', undefined, phone(2).id.slice(1)]) {
    const result = store.forgetPhone(state, id);
    assert.deepEqual(result, { store: state, forgotten: null }, String(id));
    assert.equal(result.store, state);
  }
  const all = store.forgetAll(state, counter());
  assert.deepEqual(all, { store: { token: Buffer.alloc(32, 1).toString('base64url'), phones: [] }, forgotten: state.phones });
  assert.equal(state.phones.length, 3, 'the earlier state is left as it was');
});

test('a phone is found by its secret alone, and tokens match in full only', () => {
  const state = { token: TOKEN, phones: [phone(1, { hash: sha('A'.repeat(43)) }), phone(2, { hash: sha('B'.repeat(43)) })] };
  assert.equal(store.findPhone(state, 'B'.repeat(43)), state.phones[1]);
  for (const secret of ['C'.repeat(43), 'A'.repeat(42), `${'A'.repeat(43)}=`, null, 1, sha('A'.repeat(43)), ['B'.repeat(43)]]) {
    assert.equal(store.findPhone(state, secret), null, String(secret));
  }
  for (const [given, expected, want] of [[TOKEN, TOKEN, true], ['', '', true], [`${TOKEN}x`, TOKEN, false],
    [TOKEN.toLowerCase(), TOKEN, false], [null, TOKEN, false], [TOKEN, undefined, false], [['x'], 'x', false]]) {
    assert.equal(store.tokensMatch(given, expected), want, `${given} against ${expected}`);
  }
  for (const [check, good, bad] of [[store.isToken, TOKEN, ['T'.repeat(42), `${'T'.repeat(42)}.`, 5, [TOKEN]]],
    [store.isSecret, 'S'.repeat(43), ['', `${'S'.repeat(42)}/`, ['S'.repeat(43)]]],
    [store.isPhoneId, phone(1).id, ['x'.repeat(23), 'x'.repeat(21), [phone(1).id]]]]) {
    assert.equal(check(good), true, `${check.name}(${good})`);
    for (const value of bad) assert.equal(check(value), false, `${check.name}(${value})`);
  }
});

test('a phone\'s page key opens its page alone: it is neither its secret nor its hash, and tells the phones apart', () => {
  const state = { token: TOKEN, phones: [phone(1, { hash: sha('A'.repeat(43)) }), phone(2, { hash: sha('B'.repeat(43)) })] };
  const [first, second] = state.phones.map(store.pageKeyOf);
  assert.match(first, /^[A-Za-z0-9_-]{43}$/);
  assert.equal(first, crypto.createHash('sha256').update(`page:${sha('A'.repeat(43))}`).digest('base64url'));
  assert.notEqual(first, second);
  assert.equal(store.findPhoneByPageKey(state, second), state.phones[1]);
  for (const key of ['A'.repeat(43), sha('A'.repeat(43)), `${first}x`, first.slice(1), null, [first]]) {
    assert.equal(store.findPhoneByPageKey(state, key), null, String(key));
  }
  assert.equal(store.findPhoneByPageKey({ token: TOKEN, phones: [] }, first), null);
});

test('a phone is named from its user agent', () => {
  const agents = [
    ['Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1', 'iPhone \u00B7 Safari'],
    ['Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) CriOS/125.0.6422.80 Mobile/15E148 Safari/604.1', 'iPhone \u00B7 Chrome'],
    ['Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) FxiOS/126.0 Mobile/15E148 Safari/605.1.15', 'iPhone \u00B7 Firefox'],
    ['Mozilla/5.0 (iPad; CPU OS 16_6 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/16.6 Mobile/15E148 Safari/604.1', 'iPad \u00B7 Safari'],
    ['Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Mobile Safari/537.36', 'Pixel 8 \u00B7 Chrome'],
    ['Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Mobile Safari/537.36', 'Android phone \u00B7 Chrome'],
    ['Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36', 'Android tablet \u00B7 Chrome'],
    ['Mozilla/5.0 (Linux; Android 9; SM-G960F Build/PPR1.180610.011) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/74.0.3729.157 Mobile Safari/537.36', 'SM-G960F \u00B7 Chrome'],
    ['Mozilla/5.0 (Linux; Android 13; SM-S911B) AppleWebKit/537.36 (KHTML, like Gecko) SamsungBrowser/23.0 Chrome/115.0.0.0 Mobile Safari/537.36', 'SM-S911B \u00B7 Samsung Internet'],
    ['Mozilla/5.0 (Android 14; Mobile; rv:126.0) Gecko/126.0 Firefox/126.0', 'Android phone \u00B7 Firefox'],
    ['Mozilla/5.0 (Linux; Android 14; Pixel 7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Mobile Safari/537.36 EdgA/125.0.2535.51', 'Pixel 7 \u00B7 Edge'],
    ['Mozilla/5.0 (Linux; Android 14; Pixel 7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Mobile Safari/537.36 OPR/82.0.0.0', 'Pixel 7 \u00B7 Opera'],
    ['Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) HeadlessChrome/156.0.0.0 Safari/537.36', 'Linux \u00B7 Chrome'],
    ['Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Safari/605.1.15', 'Mac \u00B7 Safari'],
    ['Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:126.0) Gecko/20100101 Firefox/126.0', 'Windows \u00B7 Firefox'],
    ['Mozilla/5.0 (X11; CrOS x86_64 14541.0.0) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36', 'Chromebook \u00B7 Chrome'],
    ['Mozilla/5.0 (iPod touch; CPU iPhone OS 12_5 like Mac OS X)', 'iPod'],
    ['Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36 Edg/125.0.0.0', 'Windows \u00B7 Edge'],
    ['Mozilla/5.0 (Linux; Android 14; Very\u0000Long\u200bModel ' + 'X'.repeat(80) + ') Chrome/1.0 Mobile', `Very LongModel ${'X'.repeat(49)}`],
    ['curl/8.5.0', 'Phone'],
    ['Mozilla/5.0 Firefox/126.0', 'Firefox'],
    [`${' '.repeat(512)}(iPhone; CPU iPhone OS 17_5 like Mac OS X) Version/17.5 Safari/604.1`, 'Phone'],
    ['Mozilla/5.0 (Linux; Android 14) Gecko Firefox/1.0', 'Android tablet \u00B7 Firefox'],
    ['', 'Phone'],
    [undefined, 'Phone'],
    [42, 'Phone'],
  ];
  for (const [agent, name] of agents) assert.equal(store.phoneName(agent), name, String(agent));
  // A name given by the phone itself is cleaned as well: no control characters, no runs of spaces.
  const paired = store.pairPhone({ token: TOKEN, phones: [] }, { token: TOKEN, name: ' a\n\tb\u0007  c ', now: NOW, random: counter() });
  assert.equal(paired.answer.phone.name, 'a b c');
  for (const name of ['\u0001 ', undefined, '']) {
    const blank = store.pairPhone({ token: TOKEN, phones: [] }, { token: TOKEN, name, now: NOW, random: counter() });
    assert.equal(blank.answer.phone.name, 'Phone', JSON.stringify(name));
  }
});
