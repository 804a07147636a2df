'use strict';
// The server's output, which the application appends to the bridge log: one line per event,
// behind a UTC time stamp.

function log(message) {
  console.log(`${new Date().toISOString()} ${message}`);
}

function logError(message) {
  console.error(`${new Date().toISOString()} error: ${message}`);
}

module.exports = { log, logError };
