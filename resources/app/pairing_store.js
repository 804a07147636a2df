'use strict';
// The pairing as data: the token that the private link carries, and the phones paired through it,
// each known by the SHA-256 of its secret, a name and when it paired. Plain functions from a state
// to a new state and an answer; pairing.js keeps the state in a file and brings the clock and the
// random bytes. A state is never changed in place.
const crypto = require('node:crypto');

const MAX_PHONES = 64;
const SECRET_BYTES = 32;
const ID_BYTES = 16;
const TOKEN_PATTERN = /^[A-Za-z0-9_-]{43}$/; // 32 bytes, base64url
const SECRET_PATTERN = TOKEN_PATTERN;
const ID_PATTERN = /^[A-Za-z0-9_-]{22}$/; // 16 bytes, base64url
const HASH_PATTERN = /^[0-9a-f]{64}$/;
const TIME_PATTERN = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/;
const MAX_NAME_LENGTH = 64;

const hashSecret = (secret) => crypto.createHash('sha256').update(secret).digest('hex');
const isToken = (value) => typeof value === 'string' && TOKEN_PATTERN.test(value);
const isSecret = (value) => typeof value === 'string' && SECRET_PATTERN.test(value);
const isPhoneId = (value) => typeof value === 'string' && ID_PATTERN.test(value);

// In constant time for strings of the same length, so that the answers tell nothing of the token.
function tokensMatch(given, expected) {
  if (typeof given !== 'string' || typeof expected !== 'string') return false;
  const a = Buffer.from(given);
  const b = Buffer.from(expected);
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

// UTC to the second, as the setup page shows it.
const timeOf = (date) => `${date.toISOString().slice(0, 19)}Z`;

function isPhone(phone) {
  return isPhoneId(phone?.id) && typeof phone.hash === 'string' &&
    HASH_PATTERN.test(phone.hash) && typeof phone.name === 'string' && phone.name.length <= MAX_NAME_LENGTH &&
    typeof phone.pairedAt === 'string' && TIME_PATTERN.test(phone.pairedAt);
}

// The text of the pairing file: { store } or { problem }, naming what is wrong in words of our own
// (never the file's content, which holds the token). A file with a token and no phones is the form
// earlier versions wrote: it is a store with no phones.
function parseStore(text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    return { problem: text.trim() === '' ? 'it is empty' : 'it is not JSON' };
  }
  if (typeof value !== 'object' || value === null || Array.isArray(value)) return { problem: 'it is not a JSON object' };
  if (!isToken(value.token)) return { problem: 'it holds no valid token' };
  const phones = value.phones ?? [];
  if (!Array.isArray(phones) || phones.length > MAX_PHONES || !phones.every(isPhone)) {
    return { problem: 'its list of phones is not valid' };
  }
  const ids = new Set(phones.map((phone) => phone.id));
  const hashes = new Set(phones.map((phone) => phone.hash));
  if (ids.size !== phones.length || hashes.size !== phones.length) return { problem: 'it lists a phone twice' };
  return { store: { token: value.token, phones: phones.map(({ id, hash, name, pairedAt }) => ({ id, hash, name, pairedAt })) } };
}

function serializeStore(store) {
  return `${JSON.stringify({ token: store.token, phones: store.phones }, null, 1)}\n`;
}

// `random(n)` gives n random bytes.
function newStore(random) {
  return { token: random(SECRET_BYTES).toString('base64url'), phones: [] };
}

// What opens a paired phone's page again (its cookie): made from its hash, so that a cookie, which
// every server of this host is sent, holds neither the secret nor the hash.
const pageKeyOf = (phone) => crypto.createHash('sha256').update(`page:${phone.hash}`).digest('base64url');

function findPhoneByPageKey(store, key) {
  if (!isSecret(key)) return null;
  return store.phones.find((phone) => tokensMatch(key, pageKeyOf(phone))) ?? null;
}

function findPhone(store, secret) {
  if (!isSecret(secret)) return null;
  const hash = hashSecret(secret);
  return store.phones.find((phone) => phone.hash === hash) ?? null;
}

// A phone that opened the link: { store, answer }, the answer one of
//   { refused: 'token' }             the link's token is not (or no longer) this computer's
//   { refused: 'full' }              64 phones are paired already; nothing changes
//   { phone, secret, again }         paired; `again` when the phone presented a secret still paired,
//                                    which it keeps (the same phone is never counted twice)
// `secret` is what the phone kept from an earlier pairing, if anything; `name` its name; `now` a Date.
function pairPhone(store, { token, secret, name, now, random }) {
  if (!tokensMatch(token, store.token)) return { store, answer: { refused: 'token' } };
  const known = findPhone(store, secret);
  if (known) return { store, answer: { phone: known, secret, again: true } };
  if (store.phones.length >= MAX_PHONES) return { store, answer: { refused: 'full' } };
  const fresh = random(SECRET_BYTES).toString('base64url');
  const phone = { id: random(ID_BYTES).toString('base64url'), hash: hashSecret(fresh), name: cleanName(name), pairedAt: timeOf(now) };
  return { store: { ...store, phones: [...store.phones, phone] }, answer: { phone, secret: fresh, again: false } };
}

// { store, forgotten: the phone, or null when no phone has that id }.
function forgetPhone(store, id) {
  const phone = store.phones.find((p) => p.id === id) ?? null;
  if (!phone) return { store, forgotten: null };
  return { store: { ...store, phones: store.phones.filter((p) => p !== phone) }, forgotten: phone };
}

// Every phone goes, and a new token makes a new link: the old one stops working.
function forgetAll(store, random) {
  return { store: newStore(random), forgotten: store.phones };
}

function cleanName(name) {
  const printable = String(name ?? '').replace(/\p{Cf}/gu, '').replace(/[\s\p{Cc}\p{Zl}\p{Zp}]+/gu, ' ').trim();
  return [...printable].slice(0, MAX_NAME_LENGTH).join('') || 'Phone';
}

const BROWSERS = [
  [/\bEdg(A|iOS)?\//, 'Edge'], [/\bSamsungBrowser\//, 'Samsung Internet'], [/\b(OPR|OPiOS)\//, 'Opera'],
  [/\b(Firefox|FxiOS)\//, 'Firefox'], [/\b(Chrome|CriOS|HeadlessChrome|Chromium)\//, 'Chrome'], [/\bSafari\//, 'Safari'],
];
const DEVICES = [
  [/\biPod\b/, 'iPod'], [/\biPad\b/, 'iPad'], [/\biPhone\b/, 'iPhone'], [/\bCrOS\b/, 'Chromebook'],
  [/\bWindows\b/, 'Windows'], [/\bMacintosh\b/, 'Mac'], [/\bLinux\b/, 'Linux'],
];

// A name a person recognises their phone by, from its User-Agent (the first 512 characters):
// "iPhone · Safari", "Pixel 8 · Chrome", "Android phone · Firefox".
function phoneName(userAgent) {
  const ua = typeof userAgent === 'string' ? userAgent.slice(0, 512) : '';
  const browser = BROWSERS.find(([pattern]) => pattern.test(ua))?.[1];
  let device = DEVICES.find(([pattern]) => pattern.test(ua))?.[1];
  if (/\bAndroid\b/.test(ua)) {
    // Reduced user agents call every model "K"; Firefox names none.
    const model = /\bAndroid [\d.]+; ([^;)]+?)(?: Build\/[^;)]*)?\)/.exec(ua)?.[1];
    device = model && model !== 'K' ? model : `Android ${/\bMobile\b/.test(ua) ? 'phone' : 'tablet'}`;
  }
  if (!device) return browser ?? 'Phone';
  return cleanName(browser ? `${device} \u00B7 ${browser}` : device);
}

module.exports = {
  MAX_PHONES, tokensMatch, hashSecret, isToken, isSecret, isPhoneId, parseStore, serializeStore, newStore, findPhone,
  pageKeyOf, findPhoneByPageKey, pairPhone, forgetPhone, forgetAll, phoneName,
};
