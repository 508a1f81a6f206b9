// The page's clock: a browser holds back timers of a hidden tab's page to once a second, or once
// a minute, but not those of a worker. Each message { id, ms } is answered with id after ms.
self.onmessage = (event) => {
  const { id, ms } = event.data;
  setTimeout(() => self.postMessage(id), ms);
};
