// The image to write: the one the page was published with (firmware.json beside the page), or
// a file the user picks or drops. Every one goes through the engine's loader.
import { crcText, FormatCodes } from './engine.js';

export const MANIFEST = 'firmware.json';

// A manifest may name only a plain file in the page's own folder.
export function manifestFileProblem(name) {
  if (typeof name !== 'string' || name === '' || name.length > 255) return 'names no file';
  if (/[/\\:?#%]/.test(name) || name.startsWith('.') || /[\u0000-\u001f]/.test(name))
    return `names "${name}", which is not a file in the page's own folder`;
  return '';
}

function describe(name, loaded, source) {
  const end = 0x08000000 + loaded.length - 1;
  const hex = (v) => '0x' + v.toString(16).padStart(8, '0');
  return { name, source, format: loaded.format, range: `${hex(0x08000000)}-${hex(end)}`,
    length: loaded.length, size: loaded.size, crc: loaded.crc, crcText: crcText(loaded.crc) };
}

// The carried image: null when the page carries none; throws Error with the words to show.
export async function loadCarried(engine, asked = fetch(MANIFEST, { cache: 'no-store' })) {
  const answer = await asked;
  if (answer.status === 404) return null;
  if (!answer.ok) throw new Error(`The page's ${MANIFEST} could not be read (${answer.status}).`);
  let manifest;
  try {
    manifest = await answer.json();
  } catch {
    throw new Error(`The page's ${MANIFEST} is not valid JSON: republish the page.`);
  }
  const problem = manifestFileProblem(manifest.file);
  if (problem) throw new Error(`Refused: the page's ${MANIFEST} ${problem}.`);
  const file = await fetch(encodeURIComponent(manifest.file), { cache: 'no-store' });
  if (!file.ok)
    throw new Error(`Refused: the firmware file ${manifest.file} named by the page is missing.`);
  const bytes = new Uint8Array(await file.arrayBuffer());
  if (bytes.length !== manifest.size)
    throw new Error(`Refused: ${manifest.file} has ${bytes.length} bytes, the page says ` +
      `${manifest.size}: the upload is incomplete or the wrong file. Republish the page.`);
  const loaded = engine.loadImage(manifest.file, bytes);
  if (!loaded.ok) throw new Error(`Refused: ${loaded.error}`);
  if (crcText(loaded.crc) !== String(manifest.crc).toLowerCase())
    throw new Error(`Refused: ${manifest.file} has CRC ${crcText(loaded.crc)}, the page says ` +
      `${manifest.crc}: the file was changed. Republish the page.`);
  return { ...describe(manifest.file, loaded, 'published with this page'),
    version: manifest.version || '' };
}

// A picked or dropped file; refused from its size before it is read whole when over the
// loader's limit for its kind.
export async function loadPicked(engine, file) {
  const head = new Uint8Array(await file.slice(0, 16).arrayBuffer());
  const code = engine.formatOf(head);
  const limit = engine.limitOf(code);
  if (file.size > limit)
    throw new Error(`Refused: ${file.name} has ${file.size} bytes, more than the ` +
      `${limit >> 20} MiB any ${FormatCodes[code]} firmware file can have. Pick the firmware file.`);
  const loaded = engine.loadImage(file.name, new Uint8Array(await file.arrayBuffer()));
  if (!loaded.ok) throw new Error(`Not firmware: ${loaded.error}. Pick a raw binary, ` +
    'Intel HEX, S-record or ELF file.');
  return describe(file.name, loaded, 'chosen file');
}
