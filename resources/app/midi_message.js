'use strict';
// What may be sent as MIDI: a whole channel message, described by its kind, its channel (1-16)
// and its numbers (0-127; a pitch bend's value 0-16383, 8192 at rest). checkMessage turns one
// into its bytes, or says why it cannot be sent; nothing else reaches the MIDI module.

const KINDS = {
  noteOff: { status: 0x80, fields: ['note', 'velocity'] },
  noteOn: { status: 0x90, fields: ['note', 'velocity'] },
  polyPressure: { status: 0xA0, fields: ['note', 'pressure'] },
  controlChange: { status: 0xB0, fields: ['control', 'value'] },
  programChange: { status: 0xC0, fields: ['program'] },
  channelPressure: { status: 0xD0, fields: ['pressure'] },
  pitchBend: { status: 0xE0, fields: ['value'], max: 16383 },
};

const isIntegerIn = (value, min, max) => Number.isInteger(value) && value >= min && value <= max;

// { bytes: [status, ...data] } or { reason }.
function checkMessage(message) {
  if (typeof message !== 'object' || message === null || Array.isArray(message)) {
    return { reason: 'a message is an object' };
  }
  const kind = Object.hasOwn(KINDS, message.kind) ? KINDS[message.kind] : null;
  if (!kind) return { reason: `unknown kind ${JSON.stringify(String(message.kind)).slice(0, 40)}` };
  if (!isIntegerIn(message.channel, 1, 16)) return { reason: 'channel is an integer from 1 to 16' };
  const max = kind.max ?? 127;
  for (const field of kind.fields) {
    if (!isIntegerIn(message[field], 0, max)) return { reason: `${message.kind}: ${field} is an integer from 0 to ${max}` };
  }
  for (const key in message) {
    if (key !== 'kind' && key !== 'channel' && !kind.fields.includes(key)) return { reason: `${message.kind} has no ${JSON.stringify(key).slice(0, 40)}` };
  }
  const status = kind.status | (message.channel - 1);
  if (message.kind === 'pitchBend') return { bytes: [status, message.value & 0x7F, message.value >> 7] };
  const [first, second] = kind.fields;
  return { bytes: second === undefined ? [status, message[first]] : [status, message[first], message[second]] };
}

module.exports = { checkMessage, KINDS };
