'use strict';
// What the build knows and the server needs: the product's version and where the MIDI module is
// (build.json beside this file, written by CMake; the path is relative to this folder).
const fs = require('node:fs');
const path = require('node:path');

const UNKNOWN = { version: 'unknown', midiModule: null };

// { version, midiModule (an absolute path, or null), problem (why the file is unusable, or null) }.
function readBuildInfo(appDir) {
  let info;
  try {
    info = JSON.parse(fs.readFileSync(path.join(appDir, 'build.json'), 'utf8'));
  } catch (err) {
    return { ...UNKNOWN, problem: `build.json beside the server cannot be read: ${err.message}` };
  }
  if (typeof info?.version !== 'string' || typeof info.midiModule !== 'string') {
    return { ...UNKNOWN, problem: 'build.json beside the server lacks "version" or "midiModule"' };
  }
  return { version: info.version, midiModule: path.resolve(appDir, info.midiModule), problem: null };
}

module.exports = { readBuildInfo };
