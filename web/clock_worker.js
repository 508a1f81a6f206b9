// The page's clock: a browser holds back timers of a hidden tab's page to once a second, or once
// a minute, but not those of a worker. Each message { id, ms } is answered with id after ms,
// unless { cancel: id } comes first.
const timers = new Map();
self.onmessage = (event) => {
  const { id, ms, cancel } = event.data;
  if (cancel !== undefined) {
    clearTimeout(timers.get(cancel));
    timers.delete(cancel);
    return;
  }
  timers.set(id, setTimeout(() => {
    timers.delete(id);
    self.postMessage(id);
  }, ms));
};
