'use strict';
// What may be sent as MIDI: each kind of channel message to its bytes, and everything else refused
// with its reason.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { APP_DIR } = require('./start');
const { checkMessage } = require(path.join(APP_DIR, 'midi_message.js'));

test('each kind of channel message becomes its bytes, channels 1 to 16 and numbers at their limits', () => {
  const table = [
    [{ kind: 'noteOn', channel: 16, note: 127, velocity: 0 }, [0x9F, 127, 0]],
    [{ kind: 'noteOff', channel: 2, note: 0, velocity: 64 }, [0x81, 0, 64]],
    [{ kind: 'polyPressure', channel: 3, note: 61, pressure: 127 }, [0xA2, 61, 127]],
    [{ kind: 'controlChange', channel: 10, control: 7, value: 127 }, [0xB9, 7, 127]],
    [{ kind: 'programChange', channel: 4, program: 127 }, [0xC3, 127]],
    [{ kind: 'channelPressure', channel: 5, pressure: 33 }, [0xD4, 33]],
    [{ kind: 'pitchBend', channel: 1, value: 8193 }, [0xE0, 0x01, 0x40]],
    [{ kind: 'pitchBend', channel: 1, value: 16383 }, [0xE0, 0x7F, 0x7F]],
  ];
  for (const [message, bytes] of table) assert.deepEqual(checkMessage(message), { bytes }, JSON.stringify(message));
});

test('anything else is refused with its reason: wrong kind, channel 0 or 17, numbers out of range, short, long', () => {
  const note = { kind: 'noteOn', channel: 1, note: 60, velocity: 100 };
  const table = [
    [null, 'a message is an object'],
    [[0x90, 60, 100], 'a message is an object'],
    [{ ...note, kind: 'sysex' }, 'unknown kind "sysex"'],
    [{ ...note, kind: 'toString' }, 'unknown kind "toString"'],
    [{ ...note, channel: 0 }, 'channel is an integer from 1 to 16'],
    [{ ...note, channel: 17 }, 'channel is an integer from 1 to 16'],
    [{ ...note, channel: 1.5 }, 'channel is an integer from 1 to 16'],
    [{ ...note, note: 128 }, 'noteOn: note is an integer from 0 to 127'],
    [{ ...note, velocity: -1 }, 'noteOn: velocity is an integer from 0 to 127'],
    [{ kind: 'noteOn', channel: 1, note: 60 }, 'noteOn: velocity is an integer from 0 to 127'], // short
    [{ ...note, pressure: 3 }, 'noteOn has no "pressure"'], // long
    [{ kind: 'pitchBend', channel: 1, value: 16384 }, 'pitchBend: value is an integer from 0 to 16383'],
  ];
  for (const [message, reason] of table) assert.deepEqual(checkMessage(message), { reason }, JSON.stringify(message));
});
