// The run's record as JSON lines, in the layout of quarv-flash --log, for download.
import { crcText } from './engine.js';

export function newLog() {
  return { lines: [], port: null, piece: '' };
}

export function logEvent(log, event, text, fields = {}) {
  const entry = { time: new Date().toISOString(), port: log.port };
  if (log.port !== null) entry.unit = 1;
  Object.assign(entry, { event, text }, fields);
  log.lines.push(JSON.stringify(entry));
}

// The engine traces in pieces; the log, like quarv-flash's, has one event per line.
export function logTrace(log, piece) {
  log.piece += piece;
  let end;
  while ((end = log.piece.indexOf('\n')) >= 0) {
    logEvent(log, 'trace', log.piece.slice(0, end));
    log.piece = log.piece.slice(end + 1);
  }
}

export function logImage(log, image) {
  logEvent(log, 'image', image.name, { format: image.format, range: image.range,
    size: image.length, padded_size: image.size, crc: crcText(image.crc) });
}

export function logText(log) {
  return log.lines.join('\n') + (log.lines.length ? '\n' : '');
}
