'use strict';
// The Tovra bridge server. The application runs it as `node server.js` in this folder, with
// PORT (default 4173), TOVRA_DATA_DIR (where the pairing is kept) and TOVRA_BACKGROUND (not
// used) in its environment. This file only starts things: the MIDI output (midi_output.js),
// the pairing (pairing.js), the HTTP routes (routes.js) and the phones' sockets
// (phone_sockets.js); one SIGTERM ends it.
// Needs Node.js 18.2 or newer (http.Server.closeAllConnections).
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { readBuildInfo } = require('./build_info');
const { log, logError } = require('./log');
const { MidiOutput } = require('./midi_output');
const { Pairing } = require('./pairing');
const { PhoneSockets } = require('./phone_sockets');
const { createApp, isReachedOrigin } = require('./routes');

function listen(server, port, host) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen({ port, host, ipv6Only: host === '::' }, () => {
      server.off('error', reject);
      server.on('error', (err) => logError(`server on ${host}: ${err.message}`));
      resolve();
    });
  });
}

async function main() {
  const port = Number(process.env.PORT || 4173);
  if (!Number.isInteger(port) || port < 1 || port > 65535) {
    logError(`invalid PORT "${process.env.PORT}"`);
    process.exit(1);
  }
  const dataDir = process.env.TOVRA_DATA_DIR ||
    path.join(os.homedir(), 'Library', 'Application Support', 'Tovra Automation');
  if (!path.isAbsolute(dataDir)) {
    logError(`TOVRA_DATA_DIR must be an absolute path, got "${dataDir}"`);
    process.exit(1);
  }
  const build = readBuildInfo(__dirname); // a problem with it is the MIDI output's to tell
  const midi = new MidiOutput({ modulePath: build.midiModule, problem: build.problem, log });
  const pairing = new Pairing(dataDir, { log });
  pairing.load();
  const phones = new PhoneSockets({ pairing, midi, log, isOwnOrigin: (origin, host) => isReachedOrigin(origin, host, port) });
  const servers = [];
  let stopping = false;
  const shutdown = (signal) => {
    if (stopping) return;
    stopping = true;
    log(`Received ${signal}, shutting down`);
    phones.close();
    midi.close(); // returns within half a second, whatever the MIDI systems do
    setTimeout(() => process.exit(0), 1000).unref();
    let open = servers.length;
    if (open === 0) process.exit(0);
    for (const server of servers) {
      server.close(() => { if (--open === 0) process.exit(0); });
      server.closeAllConnections();
    }
  };
  process.on('SIGTERM', () => shutdown('SIGTERM'));
  process.on('SIGINT', () => shutdown('SIGINT'));

  await midi.open(); // so that the first health answer already tells how MIDI is
  const handler = createApp({ port, version: build.version, midi, pairing, phones });
  // IPv4 and IPv6 on separate sockets; a machine without IPv6 gets IPv4 only.
  for (const host of ['0.0.0.0', '::']) {
    if (stopping) return;
    // Short timeouts, checked every second, so slow clients cannot pin a socket.
    const server = http.createServer({
      headersTimeout: 5000, requestTimeout: 5000, connectionsCheckingInterval: 1000,
    }, handler);
    server.keepAliveTimeout = 5000;
    server.on('upgrade', (req, socket, head) => phones.handleUpgrade(req, socket, head));
    try {
      await listen(server, port, host);
      servers.push(server);
    } catch (err) {
      if (host === '::' && (err.code === 'EADDRNOTAVAIL' || err.code === 'EAFNOSUPPORT')) continue;
      logError(err.code === 'EADDRINUSE'
        ? `port ${port} on ${host} is already in use (is another bridge running?)`
        : `cannot listen on ${host}:${port}: ${err.message}`);
      midi.close();
      process.exit(1);
    }
  }
  log(`Tovra bridge ${build.version} listening on http://localhost:${port}`);
}

// Whatever fails in starting is said in the log, and the application starts the bridge again.
main().catch((error) => {
  logError(`could not start: ${error.message}`);
  process.exit(1);
});
