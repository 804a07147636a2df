'use strict';
// What a phone may send over its socket: one text frame of at most 64 bytes holding a JSON object,
// either a MIDI message of the kinds the controller plays ({"kind":"noteOn","channel":1,"note":36,
// "velocity":100}, "noteOff" likewise, {"kind":"controlChange","channel":1,"control":7,"value":100})
// or {"kind":"ping"}, which the server answers so that a phone back from sleep learns whether its
// connection still works. readPhoneMessage turns a frame into one of these or names why not; the
// reasons are the names under which the drops are counted.
const { checkMessage } = require('./midi_message');

const MAX_MESSAGE_BYTES = 64;
const PHONE_KINDS = new Set(['noteOn', 'noteOff', 'controlChange']);

// `data` is the frame's payload (a Buffer), `isBinary` its type. One of
//   { midi: { message, bytes } }  a checked MIDI message and its bytes
//   { ping: true }
//   { reason }                    'binary', 'tooLarge', 'notJson', 'notAnObject', 'kind' or 'range'
function readPhoneMessage(data, isBinary) {
  if (isBinary) return { reason: 'binary' };
  if (data.length > MAX_MESSAGE_BYTES) return { reason: 'tooLarge' };
  let message;
  try {
    message = JSON.parse(data.toString('utf8'));
  } catch {
    return { reason: 'notJson' };
  }
  if (typeof message !== 'object' || message === null || Array.isArray(message)) return { reason: 'notAnObject' };
  if (message.kind === 'ping') return Object.keys(message).length === 1 ? { ping: true } : { reason: 'range' };
  if (!PHONE_KINDS.has(message.kind)) return { reason: 'kind' };
  const checked = checkMessage(message);
  if (checked.reason !== undefined) return { reason: 'range' };
  return { midi: { message, bytes: checked.bytes } };
}

module.exports = { readPhoneMessage, MAX_MESSAGE_BYTES, PHONE_KINDS };
