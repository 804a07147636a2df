'use strict';
// What a phone's frame becomes: a checked MIDI message with its bytes, a ping, or the reason it is
// dropped. (From the source tree, as the mutation run copies it.)
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { readPhoneMessage, MAX_MESSAGE_BYTES } = require('../../resources/app/phone_message');

const frame = (value) => Buffer.from(typeof value === 'string' ? value : JSON.stringify(value), 'utf8');
const read = (value, isBinary = false) => readPhoneMessage(frame(value), isBinary);

test('the controller\'s messages become their MIDI bytes, at the edges of every range too', () => {
  const cases = [
    [{ kind: 'noteOn', channel: 16, note: 127, velocity: 127 }, [0x9F, 127, 127]],
    [{ kind: 'noteOn', channel: 1, note: 0, velocity: 0 }, [0x90, 0, 0]],
    [{ kind: 'noteOff', channel: 10, note: 42, velocity: 0 }, [0x89, 42, 0]],
    [{ kind: 'controlChange', channel: 1, control: 0, value: 0 }, [0xB0, 0, 0]],
    ['{"value":7,"control":74,"channel":2,"kind":"controlChange"}', [0xB1, 74, 7]],
    ['{"kind":"controlChange","channel":1,"control":1e1,"value":1.0}', [0xB0, 10, 1]],
  ];
  for (const [input, bytes] of cases) {
    const result = read(input);
    assert.deepEqual(result, { midi: { message: typeof input === 'string' ? JSON.parse(input) : input, bytes } }, JSON.stringify(input));
  }
  assert.deepEqual(read({ kind: 'ping' }), { ping: true });
  assert.deepEqual(read(' {"kind" : "ping"} '), { ping: true });
});

test('frames of the wrong type or size are dropped before they are read', () => {
  const longest = '{"kind":"controlChange","channel":16,"control":127,"value":127}';
  assert.equal(longest.length, 63);
  const padded = (n) => `${longest.slice(0, -1)}${' '.repeat(n - longest.length)}}`;
  assert.deepEqual(read(padded(MAX_MESSAGE_BYTES)).midi.bytes, [0xBF, 127, 127], '64 bytes');
  assert.equal(read(padded(MAX_MESSAGE_BYTES + 1)).reason, 'tooLarge', '65 bytes');
  // Bytes, not characters: 32 two-byte characters are 64 bytes.
  assert.equal(readPhoneMessage(Buffer.from(`"${'\u00e9'.repeat(31)}"`), false).reason, 'notAnObject');
  assert.equal(readPhoneMessage(Buffer.from(`"${'\u00e9'.repeat(32)}"`), false).reason, 'tooLarge');
  assert.equal(read('x'.repeat(1 << 20)).reason, 'tooLarge', 'a megabyte');
  assert.equal(read({ kind: 'noteOn', channel: 1, note: 1, velocity: 1 }, true).reason, 'binary', 'a valid message, but binary');
  assert.equal(readPhoneMessage(Buffer.alloc(0), true).reason, 'binary', 'an empty binary frame');
});

test('everything else is dropped and says why', () => {
  const note = { kind: 'noteOn', channel: 1, note: 60, velocity: 100 };
  const cases = [
    ['', 'notJson'], ['{"kind":"noteOn",}', 'notJson'], [Buffer.from([0xff, 0xfe, 0x7b, 0x7d]), 'notJson'],
    ['[]', 'notAnObject'], ['null', 'notAnObject'], ['1', 'notAnObject'],
    [`${'['.repeat(32)}${']'.repeat(32)}`, 'notAnObject'], // a JSON bomb of a size that fits
    [{}, 'kind'], [{ ...note, kind: 'programChange' }, 'kind'], [{ ...note, kind: 'NoteOn' }, 'kind'],
    [{ ...note, kind: ['noteOn'] }, 'kind'], [{ ...note, kind: '__proto__' }, 'kind'], [{ ...note, kind: 'toString' }, 'kind'],
    ['{"kind":"ping","x":1}', 'range'], [{ ...note, channel: 0 }, 'range'], [{ ...note, velocity: null }, 'range'],
    [{ kind: 'noteOn', channel: 1, note: 60 }, 'range'], [{ ...note, extra: 1 }, 'range'],
    [{ kind: 'controlChange', channel: 1, note: 7, value: 1 }, 'range'],
    ['{"kind":"ping","__proto__":1}', 'range'], ['{"__proto__":{"kind":"ping"}}', 'kind'],
  ];
  for (const [input, reason] of cases) {
    const result = Buffer.isBuffer(input) ? readPhoneMessage(input, false) : read(input);
    assert.deepEqual(result, { reason }, Buffer.isBuffer(input) ? input.toString('hex') : JSON.stringify(input));
  }
});
