'use strict';
// What each control of the phone's controller sends, in one place: the faders' control changes
// (left to right) with the value each starts at, and the pads' notes (lowest bottom left, rising
// to the right and then upwards). The controller page is given this table as it is.

const FADERS = [
  { control: 1, name: 'Modulation', short: 'Mod', initial: 0 },
  { control: 7, name: 'Volume', short: 'Vol', initial: 100 },
  { control: 10, name: 'Pan', short: 'Pan', initial: 64 },
  { control: 11, name: 'Expression', short: 'Expr', initial: 127 },
  { control: 71, name: 'Resonance', short: 'Res', initial: 64 },
  { control: 74, name: 'Cutoff', short: 'Cutoff', initial: 64 },
  { control: 91, name: 'Reverb', short: 'Reverb', initial: 40 },
  { control: 93, name: 'Chorus', short: 'Chorus', initial: 0 },
];

const FIRST_PAD_NOTE = 36;
const PAD_COUNT = 16;

const NOTE_NAMES = ['C', 'C\u266F', 'D', 'D\u266F', 'E', 'F', 'F\u266F', 'G', 'G\u266F', 'A', 'A\u266F', 'B'];

// Middle C, note 60, is C4.
function noteName(note) {
  return `${NOTE_NAMES[note % 12]}${Math.floor(note / 12) - 1}`;
}

const PADS = Array.from({ length: PAD_COUNT }, (_, i) => ({ note: FIRST_PAD_NOTE + i, name: noteName(FIRST_PAD_NOTE + i) }));

module.exports = { FADERS, PADS, noteName };
