// What an update shows is drawn once a frame, not as the engine reports it: the engine traces
// and reports between a device's reply and the next frame to the device, which should not wait
// on the page's drawing. A hidden tab draws nothing until it is shown or the update ends.

const pending = new Map(); // element id -> what to do to it
let trace = '';            // the trace's pieces since the last drawing
let frame = 0;

function soon() {
  if (!frame && globalThis.requestAnimationFrame) frame = requestAnimationFrame(() => drawNow());
}

// Everything not yet drawn, now: before the page reads what it shows, and at an update's end.
export function drawNow() {
  if (frame) cancelAnimationFrame(frame);
  frame = 0;
  for (const [id, apply] of pending) apply(document.getElementById(id));
  pending.clear();
  if (trace) document.getElementById('trace').append(trace);
  trace = '';
}

export function showText(id, text) {
  pending.set(id, (element) => { if (element.textContent !== text) element.textContent = text; });
  soon();
}

// A text that is hidden while it is empty.
export function showNote(id, text) {
  pending.set(id, (element) => {
    if (element.textContent !== text) element.textContent = text;
    element.hidden = text === '';
  });
  soon();
}

export function showProgress(id, value) {
  pending.set(id, (element) => { element.value = value; });
  soon();
}

export function showTrace(piece) {
  trace += piece;
  soon();
}

export function clearTrace() {
  trace = '';
  document.getElementById('trace').textContent = '';
}
