// Present so that the runner can see the extension load and read its id from
// the worker's URL; the conversation itself runs in test.html, whose port
// stays alive as long as the page is open.
self.addEventListener('install', () => self.skipWaiting());
