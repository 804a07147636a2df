'use strict';
// The private link as a QR code: an SVG made here from the modules that qrcode-generator computes.
// Dark modules on white with the four-module quiet zone scanners expect, whatever the page's colours.
const qrcode = require('qrcode-generator');

const QUIET_ZONE = 4;

// `text` is ASCII (a URL). Error correction M: a code that still scans with a smudge or a glare.
function qrSvg(text, label) {
  const qr = qrcode(0, 'M');
  qr.addData(text, 'Byte');
  qr.make();
  const count = qr.getModuleCount();
  const size = count + 2 * QUIET_ZONE;
  let path = '';
  for (let row = 0; row < count; row++) {
    for (let column = 0; column < count;) {
      if (!qr.isDark(row, column)) {
        column++;
        continue;
      }
      let run = 1;
      while (column + run < count && qr.isDark(row, column + run)) run++;
      path += `M${column + QUIET_ZONE} ${row + QUIET_ZONE}h${run}v1h-${run}z`;
      column += run;
    }
  }
  return `<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 ${size} ${size}" role="img" aria-label="${label}" ` +
    `shape-rendering="crispEdges"><rect width="${size}" height="${size}" fill="#fff"/><path d="${path}" fill="#000"/></svg>`;
}

module.exports = { qrSvg };
