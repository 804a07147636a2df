'use strict';
// The body of /health, as the application reads it: all four fields, each of its type.

function healthBody({ version, midi, pairedClients }) {
  return { version, midiReady: midi.ready, midiPort: midi.ready ? midi.port : '', pairedClients };
}

module.exports = { healthBody };
