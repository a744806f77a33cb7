// Answers every message with {"topic":"pong"}, as a Node.js host does.
const nativeMessage = require('chrome-native-messaging');

process.stdin
  .pipe(new nativeMessage.Input())
  .pipe(new nativeMessage.Transform((message, push, done) => {
    push({ topic: 'pong' });
    done();
  }))
  .pipe(new nativeMessage.Output())
  .pipe(process.stdout);
