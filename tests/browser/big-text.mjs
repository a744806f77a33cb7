// The sample engine's "big" text rebuilt in JS, unit for unit after
// sample-engine/big_text.h, so the suite can tell whether a multi-megabyte
// topic came through the browser byte for byte. Sizes are UTF-8 bytes.

const LETTERS = 'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ';

// [text, UTF-8 length]
const UNITS = [
  ['"', 1], ['\\', 1], ['\n', 1], ['\t', 1], ['\x01', 1], ['\r', 1], ['\x1f', 1], ['/', 1],
  ['\x7f', 1],
  ['\u00e9', 2],
  ['\u20ac', 3],
  ['\u2028', 3],
  ['\u{1F600}', 4],
];

export function sampleBigText(bytes, pattern) {
  if (pattern === 'ascii') {
    const out = [];
    for (let i = 0; i < bytes; i++) out.push(LETTERS[i % 52]);
    return out.join('');
  }
  if (pattern !== 'mixed') return '';
  const out = [];
  let size = 0;
  for (let round = 0; size < bytes; round++) {
    const roundUnit = `${round};`;
    const units = [...UNITS, [roundUnit, roundUnit.length]];
    for (const [text, length] of units) {
      if (size + length > bytes) {
        out.push('.'.repeat(bytes - size));
        size = bytes;
        break;
      }
      out.push(text);
      size += length;
    }
  }
  return out.join('');
}
