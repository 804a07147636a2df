'use strict';
// The phones' sockets on their own, on a clock of the test's: the rate limit is a phone's whatever
// number of sockets it opens, a note it holds is released past the limit, a phone's sockets are
// kept few, and the server's end releases what is held while the output is still open.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { PhoneSockets, BURST, MESSAGES_PER_SECOND, SOCKETS_PER_PHONE } = require('../../resources/app/phone_sockets');
const { checkMessage } = require('../../resources/app/midi_message');

const bytesOf = (message) => checkMessage(message).bytes;

// A socket as ws gives one: its handlers, what was sent on it, whether it was ended.
function fakeSocket() {
  return {
    handlers: {}, sent: [], terminated: false, bufferedAmount: 0,
    on(event, handler) { this.handlers[event] = handler; },
    send(text) { this.sent.push(text); },
    ping() {}, close() {},
    terminate() { this.terminated = true; },
    frame(message) { this.handlers.message(Buffer.from(JSON.stringify(message)), false); },
  };
}

function setUp() {
  const clock = { now: 0 };
  const played = []; // the bytes of each message sent
  const midi = {
    ready: true,
    send: (messages) => { played.push(...messages.map(bytesOf)); return { sent: messages.length }; },
    sendChecked: (bytes) => { played.push(bytes); return true; },
  };
  const sockets = new PhoneSockets({ pairing: { on() {} }, midi, log() {}, isOwnOrigin: () => true, clock: () => clock.now });
  const open = (phoneId) => { const ws = fakeSocket(); sockets.accept(ws, phoneId); return ws; };
  return { clock, played, midi, sockets, open };
}

const cc = (value) => ({ kind: 'controlChange', channel: 1, control: 1, value });

test('the limit is the phone\'s over all its sockets; another phone has its own; a held note is released past it', () => {
  const { clock, played, sockets, open } = setUp();
  const [first, second] = [open('pixel'), open('pixel')];
  const other = open('iphone');
  first.frame({ kind: 'noteOn', channel: 1, note: 36, velocity: 100 });
  for (let i = 1; i < BURST; i++) (i % 2 ? first : second).frame(cc(i % 128));
  second.frame(cc(1));
  assert.equal(played.length, BURST, 'the second socket gave no more room');
  assert.deepEqual([sockets.counts.dropped.rate, sockets.counts.sent], [1, BURST]);
  first.frame({ kind: 'ping' });
  assert.deepEqual(first.sent, ['{"kind":"pong"}'], 'a ping is answered over the limit too');
  first.bufferedAmount = 64 * 1024 + 1;
  first.frame({ kind: 'ping' });
  assert.deepEqual([first.sent.length, sockets.counts.dropped.rate], [1, 2], 'not while its answers lie unread');
  first.bufferedAmount = 0;

  other.frame(cc(5));
  assert.equal(played.length, BURST + 1, 'another phone plays on');
  first.frame({ kind: 'noteOff', channel: 1, note: 36, velocity: 0 });
  assert.deepEqual(played.at(-1), bytesOf({ kind: 'noteOff', channel: 1, note: 36, velocity: 0 }), 'the held note released');
  first.frame({ kind: 'noteOff', channel: 1, note: 37, velocity: 0 });
  assert.equal(sockets.counts.dropped.rate, 3, 'a note off for a note not held is limited like the rest');

  clock.now += 1000 / MESSAGES_PER_SECOND;
  first.frame(cc(9));
  assert.deepEqual(played.at(-1), bytesOf(cc(9)), 'room again a moment later');
  sockets.close();
});

test('a phone\'s sockets past the few it may keep end its oldest; the server\'s end releases held notes at once', () => {
  const { played, sockets, open } = setUp();
  const socketsOfPixel = Array.from({ length: SOCKETS_PER_PHONE }, () => open('pixel'));
  const iphone = open('iphone');
  socketsOfPixel[0].frame({ kind: 'noteOn', channel: 3, note: 40, velocity: 90 });
  iphone.frame({ kind: 'noteOn', channel: 1, note: 50, velocity: 80 });
  assert.ok(socketsOfPixel.every((ws) => !ws.terminated));
  const newest = open('pixel');
  assert.deepEqual(socketsOfPixel.map((ws) => ws.terminated), [true, ...Array(SOCKETS_PER_PHONE - 1).fill(false)]);
  assert.ok(!newest.terminated && !iphone.terminated);

  const before = played.length;
  sockets.close();
  assert.deepEqual(played.slice(before).sort((a, b) => a[1] - b[1]),
    [bytesOf({ kind: 'noteOff', channel: 3, note: 40, velocity: 0 }), bytesOf({ kind: 'noteOff', channel: 1, note: 50, velocity: 0 })]);
  assert.ok(newest.terminated && iphone.terminated);
});
