// Timers that keep time in a hidden tab, where the browser slows the page's own to once a second
// or once a minute: they run in a worker. Where no worker starts (a host that does not serve
// the worker's file, a browser without workers), the page's own timers stand in.

const WORKER_FILE = 'clock_worker.js';
const due = new Map(); // id -> { fn, at, handle }: what to call, when, and the page's timer
let worker;            // undefined until first asked, null where none starts
let next = 0;

function startWorker() {
  if (!globalThis.Worker) return null;
  try {
    const started = new Worker(WORKER_FILE);
    started.onmessage = (event) => {
      const timer = due.get(event.data);
      due.delete(event.data);
      timer?.fn();
    };
    // A worker whose file is missing or refused fails after it was made: the timers it held
    // go to the page's own, each for what is left of its time, and later ones never go to it.
    started.onerror = (event) => {
      event.preventDefault?.();
      worker = null;
      for (const [id, timer] of due) {
        timer.handle = setTimeout(() => {
          due.delete(id);
          timer.fn();
        }, Math.max(0, timer.at - performance.now()));
      }
    };
    return started;
  } catch {
    return null;
  }
}

// A worker takes tens of milliseconds to start, which the first timers would wait on: the page
// starts it once it is ready, before any update.
export function startClock() {
  if (worker === undefined) worker = startWorker();
}

// Calls fn after ms; returns what cancels it.
export function after(ms, fn) {
  startClock();
  if (!worker) {
    const timer = setTimeout(fn, ms);
    return () => clearTimeout(timer);
  }
  const id = ++next;
  due.set(id, { fn, at: performance.now() + ms });
  worker.postMessage({ id, ms: Math.max(0, ms) });
  // The worker is told too: a cancelled read's timer would otherwise wake the page as the next
  // block's reply is due.
  return () => {
    const timer = due.get(id);
    if (!timer) return;
    due.delete(id);
    clearTimeout(timer.handle);
    worker?.postMessage({ cancel: id });
  };
}
