// A movie for the fetch tests: loads list.txt beside it, then every request
// each line names ("GET url" or "POST url body"); a URL with "list" in its
// name is read as a further list once loaded.
import flash.events.Event;
import flash.events.IOErrorEvent;
import flash.events.SecurityErrorEvent;
import flash.net.URLLoader;
import flash.net.URLRequest;
import flash.net.URLRequestMethod;

class Lister {
  static function main() {
    fetch("list.txt", null);
  }

  static function fetch(url:String, body:String) {
    var request = new URLRequest(url);
    if (body != null) {
      request.method = URLRequestMethod.POST;
      request.contentType = "application/x-www-form-urlencoded";
      request.data = body;
    }
    var loader = new URLLoader();
    loader.addEventListener(Event.COMPLETE, function(_) {
      if (url.indexOf("list") < 0) return;
      var text:String = loader.data;
      for (line in text.split("\n")) {
        var words = StringTools.trim(line).split(" ");
        if (words.length >= 2) fetch(words[1], words[0] == "POST" ? words.slice(2).join(" ") : null);
      }
    });
    loader.addEventListener(IOErrorEvent.IO_ERROR, function(_) {});
    loader.addEventListener(SecurityErrorEvent.SECURITY_ERROR, function(_) {});
    loader.load(request);
  }
}
