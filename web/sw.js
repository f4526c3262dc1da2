// The page's service worker, when it is served over http(s): it keeps the
// page's files so that a hosted copy installs as an app and opens without a
// connection. It fetches nothing but those files, from the page's own origin.
"use strict";

// build-web.sh puts a digest of the page's files here, so a new build
// replaces the old files at once.
const CACHE = "velconv-@VERSION@";
const FILES = ["./", "index.html", "style.css", "files.js", "app.js", "sonx-worker.js", "manifest.webmanifest",
  "icon.svg"];

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
    .then((keys) => Promise.all(keys.filter((key) => key !== CACHE).map((key) => caches.delete(key))))
    .then(() => self.clients.claim()));
});

// The kept copy first; the network only for what was never kept.
self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET" || new URL(event.request.url).origin !== self.location.origin) return;
  event.respondWith(caches.match(event.request, { ignoreSearch: true }).then((kept) => kept || fetch(event.request)));
});
