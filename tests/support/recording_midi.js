'use strict';
// A stand-in for the MIDI module, loaded by the server as the module would be (build.json names
// it): one output, "Test", open from the start, that appends each message it is given to the file
// TOVRA_TEST_MIDI_FILE as hex bytes ("90 3c 64"), one message a line.
const fs = require('node:fs');

let outputs = [];
module.exports = {
  open(name, change) {
    outputs = [{ system: 'Test', open: true, port: `${name}:test`, problem: '', dropped: 0 }];
    setImmediate(() => change(outputs));
    return outputs;
  },
  send(...bytes) {
    fs.appendFileSync(process.env.TOVRA_TEST_MIDI_FILE, `${bytes.map((b) => b.toString(16).padStart(2, '0')).join(' ')}\n`);
    return true;
  },
  state: () => outputs,
  close() {
    outputs = [];
    return true;
  },
};
